// Certificate requests and installation, done by the enrollment library.
#ifndef OBKEY_CERT_ENROLLMENT_H
#define OBKEY_CERT_ENROLLMENT_H

#include <stdint.h>

#include "obkey_types.h"

namespace obkey {

// CreateP10 has the enrollment library make a certificate request for
// `subject` into `out_request` (both passed through unread) and returns the
// library's status unchanged. No token session, no log entry.
int32_t CreateP10(const char *subject, DataBlob *out_request);

// InstallCert logs "     =----- InstallCert S\n" and the XML answer, reads
// the six values certKmcReq1..3 and certKmcRep1..3 from it, hands `pkcs7` to
// VeltaEnroll_acceptPKCS7 (whose status is ignored) and returns the status of
// VeltaEnroll_acceptSeal(seal_arg1, seal_arg2, the six values, 1, 1, 1, 1).
// A null `xml_answer` gives -1 after the log line, with no enrollment call.
int32_t InstallCert(const void *seal_arg1, const void *seal_arg2, const char *pkcs7,
                    const char *xml_answer);

}  // namespace obkey

#endif  // OBKEY_CERT_ENROLLMENT_H

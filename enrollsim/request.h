// Certificate requests for the token's signature key pair.
#ifndef OBKEY_ENROLLSIM_REQUEST_H
#define OBKEY_ENROLLSIM_REQUEST_H

#include <stdint.h>

#include "ossl.h"
#include "subject.h"
#include "velta_enroll.h"

namespace obkey::enrollsim {

// MakeRequest (both arguments non-null) builds the PKCS #10 request (version 1, `subject`, the
// token's signature public key, sha256WithRSAEncryption signed by the token) and writes it as PEM,
// followed by a zero, to `inout_request`. A null pbData or a capacity below the PEM length + 1
// stores that needed capacity in cbData and returns 0 without signing or writing; on success cbData
// is the PEM length.
int32_t MakeRequest(const char *subject, VeBlob *inout_request);

}  // namespace obkey::enrollsim

#endif  // OBKEY_ENROLLSIM_REQUEST_H

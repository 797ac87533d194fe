// The subject of a certificate request, as a caller writes it.
#ifndef OBKEY_ENROLLSIM_SUBJECT_H
#define OBKEY_ENROLLSIM_SUBJECT_H

#include "ossl.h"

namespace obkey::enrollsim {

// ParseSubject reads a distinguished name written either as "/C=CN/O=Org/CN=Name"
// (the order of the encoding, as `openssl req -subj` takes it) or as
// "CN=Name, O=Org, C=CN" (RFC 4514, most specific first). A backslash takes
// the next character literally; values are UTF-8. Null when the text is
// empty, an attribute has no '=' or no value, or its type is unknown.
X509Name ParseSubject(const char *subject);

}  // namespace obkey::enrollsim

#endif  // OBKEY_ENROLLSIM_SUBJECT_H

// status_text.h — the name and a one-line text of every status a client of
// obkey can meet: obkey's own, and those of the software token, the PKCS #11
// token library and the enrollment library stand-in, which obkey passes on
// unchanged. They are the installed obkey_status.h's (obkey_status_name,
// obkey_status_text), which clients use as they are.
#ifndef OBKEY_TOOLS_COMMON_STATUS_TEXT_H
#define OBKEY_TOOLS_COMMON_STATUS_TEXT_H

#include <stdint.h>

namespace obkey {

// StatusName returns the constant's name ("OB_E_NO_SESSION",
// "XCST_PIN_LOCKED"; "P11ST_CKR" for a PKCS #11 value passed on), or null for
// a value none of these libraries returns. 0 is "OK".
const char *StatusName(int32_t status);

// StatusText returns a one-line description, or null where StatusName does.
const char *StatusText(int32_t status);

}  // namespace obkey

#endif  // OBKEY_TOOLS_COMMON_STATUS_TEXT_H

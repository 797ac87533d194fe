// status_text.h — the name and a one-line text of every status a client of
// obkey can meet: obkey's own, and those of the software token, the PKCS #11
// token library and the enrollment library stand-in, which obkey passes on
// unchanged. They are the installed obkey_status.h's (obkey_status_name,
// obkey_status_text), which clients use as they are.
#ifndef OBKEY_TOOLS_COMMON_STATUS_TEXT_H
#define OBKEY_TOOLS_COMMON_STATUS_TEXT_H

#include <stdint.h>

#include <string>

namespace obkey {

// StatusName returns the constant's name ("OB_E_NO_SESSION",
// "XCST_PIN_LOCKED"; "P11ST_CKR" for a PKCS #11 value passed on), or null for
// a value none of these libraries returns. 0 is "OK".
const char *StatusName(int32_t status);

// StatusText returns a one-line description, or null where StatusName does.
const char *StatusText(int32_t status);

// Pkcs11ValueName names the PKCS #11 value that a status of the ranges
// P11ST_CKR, P11ST_DATA_REFUSED (a CKR_ value) and P11ST_NO_MECHANISM (a
// CKM_ value) carries in its low half; null for other statuses and for a
// value the standard does not name.
const char *Pkcs11ValueName(int32_t status);

// Pkcs11StatusText is the description of such a status with its value
// named ("the PKCS #11 module returned CKR_FUNCTION_NOT_SUPPORTED"); empty
// where Pkcs11ValueName is null.
std::string Pkcs11StatusText(int32_t status);

}  // namespace obkey

#endif  // OBKEY_TOOLS_COMMON_STATUS_TEXT_H

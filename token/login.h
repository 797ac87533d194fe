// The token as a whole: PIN login and change, formatting, container report.
#ifndef OBKEY_TOKEN_LOGIN_H
#define OBKEY_TOKEN_LOGIN_H

#include <stdint.h>

#include "key_operation.h"
#include "obkey_types.h"

namespace obkey {

inline constexpr uint32_t kUserTypeUser = 1;
inline constexpr char kFormatText[] = KEY_OPERATION_ADMIN_PIN;

// Login verifies the user PIN in a session of its own. The session is opened
// before anything else is looked at, so without a token the result is 3;
// a user type other than 1, or a null PIN, then gives -1.
int32_t Login(uint32_t user_type, const char *pin);

// FormatToken has the formatting library format `device_index` and returns
// its status; no session is opened.
int32_t FormatToken(int32_t device_index);

// ChangeUserPin changes the user PIN; the lengths come from cbData. A null
// record, or a null pbData with a nonzero cbData, gives -1 before connecting.
int32_t ChangeUserPin(const DataBlob *old_pin, const DataBlob *new_pin);

// PrintContainerNames writes the handles and names of the exchange and the
// signature container to the standard output. Returns 0 once a session was
// opened, whatever the container calls said; 3 without a token.
int32_t PrintContainerNames();

}  // namespace obkey

#endif  // OBKEY_TOKEN_LOGIN_H

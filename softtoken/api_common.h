// api_common.h — argument rules shared by the token operations.
#ifndef OBKEY_SOFTTOKEN_API_COMMON_H
#define OBKEY_SOFTTOKEN_API_COMMON_H

#include <cstddef>
#include <cstdint>

#include "session.h"
#include "token_output.h"

namespace obkey::softtoken {

// KeySlotIndex maps key type (= key specification) 1 or 2 to its index in
// Container::keys. Returns false for any other value.
bool KeySlotIndex(uint32_t key_type, size_t *out_index);

// RequireLogin returns 0 when this process verified the user PIN of the
// session's token at its current epoch, else XCST_NOT_LOGGED_IN.
int32_t RequireLogin(const Session &session);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_API_COMMON_H

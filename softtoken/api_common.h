// api_common.h — argument rules shared by the token operations.
#ifndef OBKEY_SOFTTOKEN_API_COMMON_H
#define OBKEY_SOFTTOKEN_API_COMMON_H

#include <cstddef>
#include <cstdint>

#include "session.h"

namespace obkey::softtoken {

// ReserveOutput checks a caller's output buffer for `needed` bytes. Returns
// 0 when it fits; otherwise stores `needed` in `*inout_len` and returns
// XCST_BUFFER_TOO_SMALL (XCST_BAD_ARGUMENT if `inout_len` is null). Nothing
// is written to `out` either way.
int32_t ReserveOutput(uint32_t needed, const uint8_t *out, uint32_t *inout_len);

// KeySlotIndex maps key type (= key specification) 1 or 2 to its index in
// Container::keys. Returns false for any other value.
bool KeySlotIndex(uint32_t key_type, size_t *out_index);

// RequireLogin returns 0 when this process verified the user PIN of the
// session's token at its current epoch, else XCST_NOT_LOGGED_IN.
int32_t RequireLogin(const Session &session);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_API_COMMON_H

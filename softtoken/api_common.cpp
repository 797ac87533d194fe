#include "api_common.h"

#include "pin.h"
#include "softtoken_status.h"

namespace obkey::softtoken {

int32_t ReserveOutput(uint32_t needed, const uint8_t *out, uint32_t *inout_len) {
  if (inout_len == nullptr) return XCST_BAD_ARGUMENT;
  if (out != nullptr && *inout_len >= needed) return 0;
  *inout_len = needed;
  return XCST_BUFFER_TOO_SMALL;
}

bool KeySlotIndex(uint32_t key_type, size_t *out_index) {
  if (key_type != XC_KEY_EXCHANGE && key_type != XC_KEY_SIGNATURE) return false;
  *out_index = key_type - 1;
  return true;
}

int32_t RequireLogin(const Session &session) {
  return IsLoggedIn(session.paths.store, *session.state) ? 0 : XCST_NOT_LOGGED_IN;
}

}  // namespace obkey::softtoken

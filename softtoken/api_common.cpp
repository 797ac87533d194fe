#include "api_common.h"

#include "pin.h"
#include "softtoken_status.h"

namespace obkey::softtoken {

bool KeySlotIndex(uint32_t key_type, size_t *out_index) {
  if (key_type != XC_KEY_EXCHANGE && key_type != XC_KEY_SIGNATURE) return false;
  *out_index = key_type - 1;
  return true;
}

int32_t RequireLogin(const Session &session) {
  return IsLoggedIn(session.paths.store, *session.state) ? 0 : XCST_NOT_LOGGED_IN;
}

}  // namespace obkey::softtoken

// export_guard.h — the one boundary guard of the exported C functions.
#ifndef OBKEY_SOFTTOKEN_EXPORT_GUARD_H
#define OBKEY_SOFTTOKEN_EXPORT_GUARD_H

#include <cstdint>

#include "softtoken/softtoken_status.h"

namespace obkey::softtoken {

// Guarded runs `body` and turns any escaping exception (std::bad_alloc
// included) into XCST_INTERNAL, so that none crosses the C ABI.
template <typename Body>
int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return XCST_INTERNAL;
  }
}

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_EXPORT_GUARD_H

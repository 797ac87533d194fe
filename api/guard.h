// The one guard at the exported boundary: no exception crosses the C ABI.
#ifndef OBKEY_API_GUARD_H
#define OBKEY_API_GUARD_H

#include <stdint.h>

#include "api/obkey.h"

namespace obkey {

// Guarded runs `body` and turns any escaping exception (std::bad_alloc
// included) into the status -1.
template <typename Body>
int32_t Guarded(Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return OB_E_ARGUMENT;
  }
}

}  // namespace obkey

#endif  // OBKEY_API_GUARD_H

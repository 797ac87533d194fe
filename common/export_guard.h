// The one guard at every C boundary of the project: obkey's exports and the
// exports of the token and enrollment libraries it ships beside itself.
#ifndef OBKEY_COMMON_EXPORT_GUARD_H
#define OBKEY_COMMON_EXPORT_GUARD_H

#include <stdint.h>

#include <utility>

namespace obkey {

// GuardedExport runs `body` and turns any escaping exception (std::bad_alloc
// included) into `kFailureStatus`, so that none crosses the C ABI.
template <int32_t kFailureStatus, typename Body>
int32_t GuardedExport(Body &&body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return kFailureStatus;
  }
}

}  // namespace obkey

#endif  // OBKEY_COMMON_EXPORT_GUARD_H

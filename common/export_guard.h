// The one guard at every C boundary of the project: obkey's exports and the
// exports of the token and enrollment libraries it ships beside itself.
#ifndef OBKEY_COMMON_EXPORT_GUARD_H
#define OBKEY_COMMON_EXPORT_GUARD_H

#include <stdint.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

namespace obkey {

// ReportSwallowedException, called from a catch block, prints the exception
// being handled to standard error when OBKEY_DEBUG is set and not empty: the
// caller sees only the failure status, a developer can see why.
inline void ReportSwallowedException(int32_t status) noexcept {
  const char *debug = std::getenv("OBKEY_DEBUG");
  if (debug == nullptr || debug[0] == '\0') return;
  try {
    throw;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "obkey: exception at the export boundary, status %d: %s\n",
                 static_cast<int>(status), e.what());
  } catch (...) {
    std::fprintf(stderr,
                 "obkey: exception at the export boundary, status %d: not a std::exception\n",
                 static_cast<int>(status));
  }
}

// GuardedExport runs `body` and turns any escaping exception (std::bad_alloc
// included) into `kFailureStatus`, so that none crosses the C ABI.
template <int32_t kFailureStatus, typename Body>
int32_t GuardedExport(Body &&body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    ReportSwallowedException(kFailureStatus);
    return kFailureStatus;
  }
}

}  // namespace obkey

#endif  // OBKEY_COMMON_EXPORT_GUARD_H

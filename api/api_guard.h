// The one guard at the exported boundary: no exception crosses the C ABI.
#ifndef OBKEY_API_API_GUARD_H
#define OBKEY_API_API_GUARD_H

#include <stdint.h>

#include <utility>

#include "export_guard.h"
#include "obkey.h"
#include "token_session.h"

namespace obkey {

// Guarded runs `body`; an escaping exception becomes the status -1, and a
// token session whose changes were not kept turns a 0 into the token
// library's disconnect status (DisconnectWatch).
template <typename Body>
int32_t Guarded(Body &&body) noexcept {
  return GuardedExport<OB_E_ARGUMENT>([&] {
    DisconnectWatch watch;
    return watch.Outcome(std::forward<Body>(body)());
  });
}

}  // namespace obkey

#endif  // OBKEY_API_API_GUARD_H

// softtoken_guard.h — the one boundary guard of the exported C functions.
#ifndef OBKEY_SOFTTOKEN_SOFTTOKEN_GUARD_H
#define OBKEY_SOFTTOKEN_SOFTTOKEN_GUARD_H

#include <cstdint>
#include <utility>

#include "export_guard.h"
#include "softtoken_status.h"

namespace obkey::softtoken {

// Guarded runs `body`; an escaping exception becomes XCST_INTERNAL.
template <typename Body>
int32_t Guarded(Body &&body) noexcept {
  return GuardedExport<XCST_INTERNAL>(std::forward<Body>(body));
}

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_SOFTTOKEN_GUARD_H

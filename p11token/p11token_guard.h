// p11token_guard.h — the one boundary guard of the exported C functions.
#ifndef OBKEY_P11TOKEN_P11TOKEN_GUARD_H
#define OBKEY_P11TOKEN_P11TOKEN_GUARD_H

#include <cstdint>

#include "p11token_os.h"
#include "p11token_status.h"

namespace obkey::p11token {

// Guarded runs `body` holding the process lock (shared; a changing step
// makes it exclusive) and turns any escaping exception (std::bad_alloc
// included) into P11ST_INTERNAL, so that none crosses the C ABI.
template <typename Body>
int32_t Guarded(Body body) noexcept {
  try {
    os::ProcessStateGuard guard;
    return body();
  } catch (...) {
    return P11ST_INTERNAL;
  }
}

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_P11TOKEN_GUARD_H

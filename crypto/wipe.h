// The one way this library erases key and data material.
#ifndef OBKEY_CRYPTO_WIPE_H
#define OBKEY_CRYPTO_WIPE_H

#include <cstddef>

namespace obkey {

// SecureWipe overwrites |len| bytes at |p| with zero bytes in a way the
// optimiser cannot drop, even when the memory is dead afterwards.
void SecureWipe(void *p, size_t len);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_WIPE_H

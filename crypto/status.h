// Status codes of the cryptographic primitives.
#ifndef OBKEY_CRYPTO_STATUS_H
#define OBKEY_CRYPTO_STATUS_H

#include <cstdint>

// The cipher statuses (CIPHER_E_KEY, CIPHER_E_LENGTH) reach the caller as they
// are: they are the interface's own values.
#include "obkey_types.h"

namespace obkey {

// The block, read as a number, is not below the modulus.
constexpr int32_t CRYPTO_E_DATA = 0x0401;
// DigestInit was given an algorithm number it does not know.
constexpr int32_t CRYPTO_E_DIGEST_ALG = 0x0402;
// The data is too long for the modulus, or the key record is too large.
constexpr int32_t CRYPTO_E_LEN = 0x0406;
// The random source has not been seeded.
constexpr int32_t CRYPTO_E_NEED_RANDOM = 0x0408;

}  // namespace obkey

#endif  // OBKEY_CRYPTO_STATUS_H

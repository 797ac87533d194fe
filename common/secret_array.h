// secret_array.h — a fixed-size buffer for key material that wipes itself
// when it goes, however its scope ends (a return, an exception): the
// fixed-size counterpart of SecretBytes.
#ifndef OBKEY_COMMON_SECRET_ARRAY_H
#define OBKEY_COMMON_SECRET_ARRAY_H

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace obkey {

// SecretArray is a std::array of bytes, zero-initialised, wiped with
// OPENSSL_cleanse (which the optimiser keeps) on destruction. It passes
// wherever a reference to std::array<uint8_t, N> is taken.
template <size_t N>
struct SecretArray : std::array<uint8_t, N> {
  SecretArray() : std::array<uint8_t, N>{} {}
  SecretArray(const SecretArray &) = default;
  SecretArray &operator=(const SecretArray &) = default;
  ~SecretArray() { OPENSSL_cleanse(this->data(), N); }
};

}  // namespace obkey

#endif  // OBKEY_COMMON_SECRET_ARRAY_H

// The MD5-based random-byte generator behind PKCS#1 padding.
#ifndef OBKEY_CRYPTO_RANDOM_SOURCE_H
#define OBKEY_CRYPTO_RANDOM_SOURCE_H

#include <cstdint>

#include "status.h"

namespace obkey {

// RandomSource is a caller-owned 40-byte record; every draw changes it.
struct RandomSource {
  uint32_t bytes_needed;      // seed bytes still required; nonzero refuses output
  uint8_t state[16];          // generator state, last byte least significant
  uint32_t output_available;  // unread bytes at the end of output, 0 to 16
  uint8_t output[16];         // the last generated block
};
static_assert(sizeof(RandomSource) == 40, "RandomSource is a 40-byte record");

// The number of seed bytes a fresh source asks for.
constexpr uint32_t RANDOM_BYTES_NEEDED = 256;

// RandomGenerateBytes fills |len| bytes of |block|. Returns 0, or
// CRYPTO_E_NEED_RANDOM with nothing written while the source still needs
// seed bytes.
int32_t RandomGenerateBytes(uint8_t *block, uint32_t len, RandomSource *random);

// RandomInit starts a source that needs RANDOM_BYTES_NEEDED seed bytes, with
// a zero state and no output.
void RandomInit(RandomSource *random);
// RandomUpdate mixes |len| seed bytes in: their MD5 digest is added to the
// state as a 128-bit big-endian sum, and the bytes still needed fall by |len|
// (not below zero).
void RandomUpdate(RandomSource *random, const uint8_t *seed, uint32_t len);
// RandomFinal clears all of the record.
void RandomFinal(RandomSource *random);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_RANDOM_SOURCE_H

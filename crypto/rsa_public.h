// RSA public-key encryption with PKCS#1 v1.5 block type 2 padding.
#ifndef OBKEY_CRYPTO_RSA_PUBLIC_H
#define OBKEY_CRYPTO_RSA_PUBLIC_H

#include <cstdint>

#include "random_source.h"
#include "status.h"

namespace obkey {

constexpr uint32_t RSA_MAX_MODULUS_BITS = 2048;
constexpr uint32_t RSA_MAX_MODULUS_LEN = (RSA_MAX_MODULUS_BITS + 7) / 8;

// RsaPublicKey is the byte-level record in which a caller hands over a public
// key. Both numbers are big-endian and right-aligned in their fields.
struct RsaPublicKey {
  uint32_t bits;  // modulus length in bits, 1 to 2048; little-endian
  uint8_t modulus[RSA_MAX_MODULUS_LEN];
  uint8_t exponent[RSA_MAX_MODULUS_LEN];
};
static_assert(sizeof(RsaPublicKey) == 516, "RsaPublicKey is a 516-byte record");

// RsaPublicEncrypt pads |input| into a block of k = (bits + 7) / 8 bytes
// (00 02, nonzero random bytes from |random|, 00, input) and encrypts it
// under |key| into k bytes at |output|, storing k in |*output_len|. Returns 0;
// CRYPTO_E_LEN when bits exceeds 2048 or |input_len| + 11 exceeds k;
// CRYPTO_E_NEED_RANDOM when |random| refuses a draw; CRYPTO_E_DATA from
// RsaPublicBlock. On failure nothing is written.
int32_t RsaPublicEncrypt(uint8_t *output, uint32_t *output_len, const uint8_t *input,
                         uint32_t input_len, const RsaPublicKey *key, RandomSource *random);

// RsaPublicBlock is the raw public operation: the block of |input_len| bytes,
// read as a number, raised to the exponent modulo the modulus and written as
// exactly k bytes. Returns 0; CRYPTO_E_LEN when bits exceeds 2048;
// CRYPTO_E_DATA when the block is not below the modulus (an all-zero modulus
// included). On failure nothing is written.
int32_t RsaPublicBlock(uint8_t *output, uint32_t *output_len, const uint8_t *input,
                       uint32_t input_len, const RsaPublicKey *key);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_RSA_PUBLIC_H

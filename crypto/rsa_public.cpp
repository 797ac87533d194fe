#include "rsa_public.h"

#include <cstring>

#include "mp.h"
#include "wipe.h"

namespace obkey {

int32_t RsaPublicEncrypt(uint8_t *output, uint32_t *output_len, const uint8_t *input,
                         uint32_t input_len, const RsaPublicKey *key, RandomSource *random) {
  // A larger bit count describes numbers the record cannot hold.
  if (key->bits > RSA_MAX_MODULUS_BITS) return CRYPTO_E_LEN;
  const uint32_t k = (key->bits + 7) / 8;
  if (static_cast<uint64_t>(input_len) + 11 > k) return CRYPTO_E_LEN;

  uint8_t block[RSA_MAX_MODULUS_LEN];
  uint8_t drawn = 0;
  block[0] = 0x00;
  block[1] = 0x02;
  const uint32_t separator = k - input_len - 1;
  for (uint32_t i = 2; i < separator; ++i) {
    // Every padding byte must be nonzero and unpredictable: a refused draw
    // ends the call rather than padding with whatever the buffer holds.
    do {
      if (RandomGenerateBytes(&drawn, 1, random) != 0) {
        SecureWipe(block, sizeof block);
        return CRYPTO_E_NEED_RANDOM;
      }
    } while (drawn == 0);
    block[i] = drawn;
  }
  block[separator] = 0x00;
  if (input_len != 0) std::memcpy(block + separator + 1, input, input_len);

  const int32_t status = RsaPublicBlock(output, output_len, block, k, key);
  SecureWipe(block, sizeof block);
  SecureWipe(&drawn, sizeof drawn);
  return status;
}

int32_t RsaPublicBlock(uint8_t *output, uint32_t *output_len, const uint8_t *input,
                       uint32_t input_len, const RsaPublicKey *key) {
  if (key->bits > RSA_MAX_MODULUS_BITS) return CRYPTO_E_LEN;
  const uint32_t k = (key->bits + 7) / 8;

  MpDigit m[MP_MAX_DIGITS], n[MP_MAX_DIGITS], e[MP_MAX_DIGITS], x[MP_MAX_DIGITS];
  MpDecode(m, MP_MAX_DIGITS, input, input_len);
  MpDecode(n, MP_MAX_DIGITS, key->modulus, RSA_MAX_MODULUS_LEN);
  MpDecode(e, MP_MAX_DIGITS, key->exponent, RSA_MAX_MODULUS_LEN);
  const uint32_t n_digits = MpDigits(n, MP_MAX_DIGITS);
  const uint32_t e_digits = MpDigits(e, MP_MAX_DIGITS);

  int32_t status = CRYPTO_E_DATA;
  if (MpCmp(m, n, n_digits) < 0) {
    MpAssignZero(x, MP_MAX_DIGITS);
    MpModExp(x, m, e, e_digits, n, n_digits);
    *output_len = k;
    MpEncode(output, k, x, n_digits);
    status = 0;
  }
  SecureWipe(m, sizeof m);
  SecureWipe(x, sizeof x);
  return status;
}

}  // namespace obkey

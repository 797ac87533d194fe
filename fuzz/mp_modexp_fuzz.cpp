// Modular exponentiation against OpenSSL's BIGNUM: b^c mod d for moduli of
// up to 65 digits (odd ones of up to 64 take the Montgomery path, the others
// the plain one), with the result also written over the base.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mp.h"

namespace {

using obkey::MpDigit;

BIGNUM *ToBn(const MpDigit *a, uint32_t digits) {
  std::vector<uint8_t> bytes(4 * digits);
  obkey::MpEncode(bytes.data(), static_cast<uint32_t>(bytes.size()), a, digits);
  return BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr);
}

bool Equal(const BIGNUM *expected, const MpDigit *a, uint32_t digits) {
  BIGNUM *actual = ToBn(a, digits);
  bool equal = actual != nullptr && BN_cmp(expected, actual) == 0;
  BN_free(actual);
  return equal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  const uint32_t d_digits = 1 + data[0] % obkey::MP_MAX_DIGITS;
  // Exponents of up to 256 bits keep the sanitizer build at hundreds of runs
  // a second; the window logic is the same at every length.
  const uint32_t c_digits = 1 + data[1] % 8;
  const bool force_odd = data[2] & 1;
  data += 3;
  size -= 3;
  // Modulus, then exponent, then base, each taking its share of the input.
  const size_t third = size / 3;
  MpDigit d[obkey::MP_MAX_DIGITS], c[obkey::MP_MAX_DIGITS], raw_b[obkey::MP_MAX_DIGITS];
  obkey::MpDecode(d, d_digits, data, static_cast<uint32_t>(third));
  obkey::MpDecode(c, c_digits, data + third, static_cast<uint32_t>(third));
  obkey::MpDecode(raw_b, d_digits, data + 2 * third, static_cast<uint32_t>(size - 2 * third));
  if (force_odd) d[0] |= 1;
  if (obkey::MpDigits(d, d_digits) == 0) return 0;
  // The base is a residue, as in every caller.
  MpDigit b[obkey::MP_MAX_DIGITS];
  obkey::MpMod(b, raw_b, d_digits, d, d_digits);

  MpDigit a[obkey::MP_MAX_DIGITS];
  obkey::MpModExp(a, b, c, c_digits, d, d_digits);

  BIGNUM *bb = ToBn(b, d_digits), *bc = ToBn(c, c_digits), *bd = ToBn(d, d_digits);
  BIGNUM *expected = BN_new();
  BN_CTX *ctx = BN_CTX_new();
  if (BN_mod_exp(expected, bb, bc, bd, ctx) != 1) __builtin_trap();
  // A zero exponent yields 1 by contract, even for the modulus 1.
  if (obkey::MpDigits(c, c_digits) == 0) BN_one(expected);
  if (!Equal(expected, a, d_digits)) __builtin_trap();

  MpDigit aliased[obkey::MP_MAX_DIGITS];
  std::memcpy(aliased, b, sizeof(MpDigit) * d_digits);
  obkey::MpModExp(aliased, aliased, c, c_digits, d, d_digits);
  if (!Equal(expected, aliased, d_digits)) __builtin_trap();

  BN_CTX_free(ctx);
  BN_free(bb);
  BN_free(bc);
  BN_free(bd);
  BN_free(expected);
  return 0;
}

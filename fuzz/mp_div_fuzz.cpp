// Multi-precision division against OpenSSL's BIGNUM: for a dividend of up to
// 130 digits and a nonzero divisor of up to 65, the quotient and remainder
// are OpenSSL's, so q * d + r = c with r < d.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mp.h"

namespace {

using obkey::MpDigit;

std::vector<uint8_t> Encoded(const MpDigit *a, uint32_t digits) {
  std::vector<uint8_t> bytes(4 * digits);
  obkey::MpEncode(bytes.data(), static_cast<uint32_t>(bytes.size()), a, digits);
  return bytes;
}

BIGNUM *ToBn(const std::vector<uint8_t> &bytes) {
  return BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr);
}

bool Equal(const BIGNUM *expected, const MpDigit *a, uint32_t digits) {
  BIGNUM *actual = ToBn(Encoded(a, digits));
  bool equal = actual != nullptr && BN_cmp(expected, actual) == 0;
  BN_free(actual);
  return equal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const uint32_t c_digits = 1 + data[0] % obkey::MP_MAX_PRODUCT_DIGITS;
  const uint32_t d_digits = 1 + data[1] % obkey::MP_MAX_DIGITS;
  data += 2;
  size -= 2;
  // The divisor from the front of the input, the dividend from the rest.
  const uint32_t d_len = static_cast<uint32_t>(size < 4 * d_digits ? size / 2 : 4 * d_digits);
  MpDigit c[obkey::MP_MAX_PRODUCT_DIGITS], d[obkey::MP_MAX_DIGITS];
  obkey::MpDecode(d, d_digits, data, d_len);
  obkey::MpDecode(c, c_digits, data + d_len, static_cast<uint32_t>(size - d_len));
  if (obkey::MpDigits(d, d_digits) == 0) return 0;

  MpDigit q[obkey::MP_MAX_PRODUCT_DIGITS], r[obkey::MP_MAX_DIGITS];
  obkey::MpDiv(q, r, c, c_digits, d, d_digits);

  BIGNUM *bc = ToBn(Encoded(c, c_digits)), *bd = ToBn(Encoded(d, d_digits));
  BIGNUM *bq = BN_new(), *br = BN_new();
  BN_CTX *ctx = BN_CTX_new();
  if (BN_div(bq, br, bc, bd, ctx) != 1) __builtin_trap();
  if (!Equal(bq, q, c_digits) || !Equal(br, r, d_digits)) __builtin_trap();

  // The remainder alone, through MpMod.
  MpDigit m[obkey::MP_MAX_DIGITS];
  obkey::MpMod(m, c, c_digits, d, d_digits);
  if (!Equal(br, m, d_digits)) __builtin_trap();

  BN_CTX_free(ctx);
  BN_free(bc);
  BN_free(bd);
  BN_free(bq);
  BN_free(br);
  return 0;
}

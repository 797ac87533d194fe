#include "mp.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mp_montgomery.h"
#include "test_util.h"

namespace obkey {
namespace {

using test::Bytes;
using test::Hex;
using test::TestRandom;

using Digits = std::vector<MpDigit>;

// --- Conversion to and from OpenSSL's BIGNUM --------------------------------

struct BnDeleter {
  void operator()(BIGNUM *bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

Bn ToBn(const MpDigit *a, uint32_t digits) {
  Bytes bytes(4 * digits + 1);
  MpEncode(bytes.data(), static_cast<uint32_t>(bytes.size()), a, digits);
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Bn ToBn(const Digits &a) {
  return ToBn(a.data(), static_cast<uint32_t>(a.size()));
}

std::string BnHex(const BIGNUM *bn) {
  char *s = BN_bn2hex(bn);
  std::string out(s);
  OPENSSL_free(s);
  return out;
}

std::string BnHex(const Digits &a) {
  return BnHex(ToBn(a).get());
}

// A number of |digits| digits whose significant digits number |significant|;
// the top significant digit is nonzero.
Digits RandomNumber(TestRandom &rng, uint32_t digits, uint32_t significant) {
  Digits a(digits, 0);
  for (uint32_t i = 0; i < significant; ++i) a[i] = rng.Next32();
  if (significant > 0 && a[significant - 1] == 0) a[significant - 1] = 1;
  // Sparse and saturated digits find carry faults that random ones miss.
  if (significant > 1 && rng.Below(4) == 0) a[rng.Below(significant - 1)] = 0xFFFFFFFF;
  if (significant > 1 && rng.Below(4) == 0) a[rng.Below(significant - 1)] = 0;
  return a;
}

class BnContext {
 public:
  BnContext() : ctx_(BN_CTX_new()) {}
  ~BnContext() { BN_CTX_free(ctx_); }
  BN_CTX *get() { return ctx_; }

 private:
  BN_CTX *ctx_;
};

// --- Byte strings -------------------------------------------------------------

TEST(MpDecodeEncode, EdgeCases) {
  // 256 bytes into 65 digits: 64 digits filled, the 65th zero.
  Bytes full(256);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i + 1);
  Digits a(65, 0xDEADBEEF);
  MpDecode(a.data(), 65, full.data(), 256);
  EXPECT_EQ(0x0u, a[64]);
  EXPECT_EQ(0xFDFEFF00u, a[0]);  // the last four bytes, 0xFD 0xFE 0xFF 0x00
  EXPECT_EQ(0x01020304u, a[63]);

  // Three bytes fill the low 24 bits of digit 0.
  const uint8_t three[] = {0xAB, 0xCD, 0xEF};
  Digits b(4, 0xFFFFFFFF);
  MpDecode(b.data(), 4, three, 3);
  EXPECT_EQ((Digits{0xABCDEF, 0, 0, 0}), b);

  // Leading bytes that do not fit are ignored.
  const uint8_t six[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  Digits c(1);
  MpDecode(c.data(), 1, six, 6);
  EXPECT_EQ(0x33445566u, c[0]);

  // One digit into six bytes: two zero bytes then the digit, high byte first.
  const MpDigit d[] = {0x89ABCDEF};
  uint8_t out[6];
  std::memset(out, 0xEE, sizeof out);
  MpEncode(out, 6, d, 1);
  EXPECT_EQ("000089abcdef", Hex(out, 6));

  // Digits that do not fit are dropped from the top.
  const MpDigit e[] = {0x11223344, 0x55667788};
  MpEncode(out, 3, e, 2);
  EXPECT_EQ("223344", Hex(out, 3));
}

TEST(MpDecodeEncode, RoundTripRandomStrings) {
  TestRandom rng(21);
  for (uint32_t len = 0; len <= 260; ++len) {
    Bytes in = rng.NextBytes(len);
    Digits a(MP_MAX_DIGITS + 1);
    MpDecode(a.data(), static_cast<uint32_t>(a.size()), in.data(), len);
    Bytes out(len);
    MpEncode(out.data(), len, a.data(), static_cast<uint32_t>(a.size()));
    ASSERT_EQ(Hex(in), Hex(out)) << len;
  }
}

// --- Comparison, shifts, subtraction ------------------------------------------

TEST(MpSmallOperations, CmpDigitsAndDigitBits) {
  const MpDigit a[] = {5, 0, 7}, b[] = {6, 0, 7};
  EXPECT_EQ(0, MpCmp(a, b, 0));
  EXPECT_EQ(-1, MpCmp(a, b, 3));
  EXPECT_EQ(1, MpCmp(b, a, 1));
  EXPECT_EQ(0, MpCmp(a + 1, b + 1, 2));
  const MpDigit z[] = {0, 0, 0};
  EXPECT_EQ(0u, MpDigits(z, 3));
  EXPECT_EQ(3u, MpDigits(a, 3));
  const MpDigit low[] = {9, 0, 0};
  EXPECT_EQ(1u, MpDigits(low, 3));
  struct {
    MpDigit d;
    uint32_t bits;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {0x80000000, 32}, {0xFFFFFFFF, 32}, {0x10000, 17}};
  for (const auto &c : cases) EXPECT_EQ(c.bits, MpDigitBits(c.d)) << c.d;
}

TEST(MpShift, AgreesWithBnAndHonoursTheCountLimits) {
  TestRandom rng(22);
  for (uint32_t count = 0; count < 32; ++count) {
    const Digits b = RandomNumber(rng, 5, 5);
    Digits left(5), right(5);
    const MpDigit out_left = MpShiftLeft(left.data(), b.data(), count, 5);
    const MpDigit out_right = MpShiftRight(right.data(), b.data(), count, 5);
    Bn expect(BN_new());
    BN_lshift(expect.get(), ToBn(b).get(), static_cast<int>(count));
    // The bits shifted out of the top are the digit above the result.
    Digits wide(6);
    wide.assign(left.begin(), left.end());
    wide.push_back(out_left);
    EXPECT_EQ(BnHex(expect.get()), BnHex(wide)) << count;
    BN_rshift(expect.get(), ToBn(b).get(), static_cast<int>(count));
    EXPECT_EQ(BnHex(expect.get()), BnHex(right)) << count;
    const MpDigit mask = count == 0 ? 0 : (b[0] << (32 - count));
    EXPECT_EQ(mask, out_right) << count;
  }
  // Count 0 copies and returns 0; 32 or more writes nothing and returns 0.
  const Digits b = {1, 2, 3};
  Digits a = {9, 9, 9};
  EXPECT_EQ(0u, MpShiftLeft(a.data(), b.data(), 0, 3));
  EXPECT_EQ(b, a);
  a = {9, 9, 9};
  EXPECT_EQ(0u, MpShiftLeft(a.data(), b.data(), 32, 3));
  EXPECT_EQ(0u, MpShiftRight(a.data(), b.data(), 40, 3));
  EXPECT_EQ((Digits{9, 9, 9}), a);
}

TEST(MpSub, DifferencePlusSubtrahendGivesTheMinuendModuloTheWidth) {
  TestRandom rng(23);
  BnContext bn;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 1 + rng.Below(65);
    const Digits b = RandomNumber(rng, n, 1 + rng.Below(n));
    const Digits c = RandomNumber(rng, n, 1 + rng.Below(n));
    Digits a = b;
    const MpDigit borrow = MpSub(a.data(), a.data(), c.data(), n);  // aliased
    EXPECT_EQ(MpCmp(b.data(), c.data(), n) < 0 ? 1u : 0u, borrow);
    Bn sum(BN_new());
    BN_add(sum.get(), ToBn(a).get(), ToBn(c).get());
    BN_mask_bits(sum.get(), static_cast<int>(32 * n));
    ASSERT_EQ(BnHex(ToBn(b).get()), BnHex(sum.get()));
  }
}

// --- Multiplication and division ----------------------------------------------

TEST(MpMult, AgreesWithBnIncludingSquaresAndAliasing) {
  TestRandom rng(24);
  BnContext bn;
  for (int trial = 0; trial < 400; ++trial) {
    const uint32_t n = 1 + rng.Below(65);
    Digits b = RandomNumber(rng, n, rng.Below(n + 1));
    Digits c = RandomNumber(rng, n, rng.Below(n + 1));
    const bool square = trial % 3 == 0;
    if (square) c = b;
    Bn expect(BN_new());
    BN_mul(expect.get(), ToBn(b).get(), ToBn(c).get(), bn.get());

    Digits a(2 * n);
    MpMult(a.data(), b.data(), square ? b.data() : c.data(), n);
    ASSERT_EQ(BnHex(expect.get()), BnHex(a)) << "digits " << n;

    // The result may be one of the operands (given room for the product).
    Digits aliased = b;
    aliased.resize(2 * n);
    MpMult(aliased.data(), aliased.data(), square ? aliased.data() : c.data(), n);
    ASSERT_EQ(BnHex(expect.get()), BnHex(aliased)) << "aliased, digits " << n;
  }
}

TEST(MpDigitHelpers, AgreeWithWideArithmetic) {
  TestRandom rng(25);
  for (int trial = 0; trial < 2000; ++trial) {
    const MpDigit b = rng.Next32(), c = trial % 7 == 0 ? 0xFFFFFFFF : rng.Next32();
    MpDigit product[2];
    MpDigitMult(product, b, c);
    const uint64_t wide = static_cast<uint64_t>(b) * c;
    ASSERT_EQ(wide, static_cast<uint64_t>(product[1]) << 32 | product[0]);

    const MpDigit divisor = c | 1;
    const MpDigit dividend[2] = {rng.Next32(), rng.Below(divisor)};
    const uint64_t value = static_cast<uint64_t>(dividend[1]) << 32 | dividend[0];
    ASSERT_EQ(value / divisor, MpDigitDiv(dividend, divisor));
  }
  // A zero multiplier returns at once without writing.
  const MpDigit d[] = {1, 2, 3};
  MpDigit a[] = {7, 7, 7};
  EXPECT_EQ(0u, MpAddDigitMult(a, d, 0, d, 3));
  EXPECT_EQ(0u, MpSubDigitMult(a, d, 0, d, 3));
  EXPECT_EQ((Digits{7, 7, 7}), Digits(a, a + 3));
}

TEST(MpDiv, QuotientAndRemainderAgreeWithBn) {
  TestRandom rng(26);
  BnContext bn;
  for (int trial = 0; trial < 1500; ++trial) {
    const uint32_t d_digits = 1 + rng.Below(65);
    const uint32_t c_digits = 1 + rng.Below(130);
    const Digits c = RandomNumber(rng, c_digits, rng.Below(c_digits + 1));
    Digits d = RandomNumber(rng, d_digits, 1 + rng.Below(d_digits));
    const uint32_t top = MpDigits(d.data(), d_digits) - 1;
    switch (trial % 4) {
      case 0:
        d[top] = 0xFFFFFFFF;  // normalised already: the estimate comes from the dividend
        break;
      case 1:
        d[top] = 1;  // the largest normalising shift
        break;
      default:
        break;
    }
    Digits q(c_digits, 0x5A5A5A5A), r(d_digits, 0x5A5A5A5A);
    MpDiv(q.data(), r.data(), c.data(), c_digits, d.data(), d_digits);

    Bn eq(BN_new()), er(BN_new());
    ASSERT_EQ(1, BN_div(eq.get(), er.get(), ToBn(c).get(), ToBn(d).get(), bn.get()));
    ASSERT_EQ(BnHex(eq.get()), BnHex(q)) << "c " << c_digits << " d " << d_digits;
    ASSERT_EQ(BnHex(er.get()), BnHex(r)) << "c " << c_digits << " d " << d_digits;
    ASSERT_LT(MpCmp(r.data(), d.data(), d_digits), 0);
  }
}

TEST(MpDiv, ShortDividendAndZeroDivisor) {
  // A dividend shorter than the divisor: quotient 0, remainder the dividend.
  const Digits c = {0x12345678, 0x9ABCDEF0};
  const Digits d = {1, 2, 3, 0x00F00000};
  Digits q(2, 0xEE), r(4, 0xEE);
  MpDiv(q.data(), r.data(), c.data(), 2, d.data(), 4);
  EXPECT_EQ((Digits{0, 0}), q);
  EXPECT_EQ((Digits{0x12345678, 0x9ABCDEF0, 0, 0}), r);

  // A zero divisor writes nothing.
  const Digits zero = {0, 0};
  q.assign(2, 0xEE);
  r.assign(2, 0xEE);
  MpDiv(q.data(), r.data(), c.data(), 2, zero.data(), 2);
  EXPECT_EQ((Digits{0xEE, 0xEE}), q);
  EXPECT_EQ((Digits{0xEE, 0xEE}), r);
  MpMod(r.data(), c.data(), 2, zero.data(), 2);
  EXPECT_EQ((Digits{0xEE, 0xEE}), r);
}

TEST(MpModular, ModAndModMultAgreeWithBn) {
  TestRandom rng(27);
  BnContext bn;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 1 + rng.Below(65);
    const Digits d = RandomNumber(rng, n, 1 + rng.Below(n));
    const Digits b = RandomNumber(rng, n, rng.Below(n + 1));
    const Digits c = RandomNumber(rng, n, rng.Below(n + 1));
    Digits a(n);
    MpModMult(a.data(), b.data(), c.data(), d.data(), n);
    Bn expect(BN_new());
    BN_mod_mul(expect.get(), ToBn(b).get(), ToBn(c).get(), ToBn(d).get(), bn.get());
    ASSERT_EQ(BnHex(expect.get()), BnHex(a)) << n;

    const Digits wide = RandomNumber(rng, 2 * n, 2 * n);
    MpMod(a.data(), wide.data(), 2 * n, d.data(), n);
    BN_mod(expect.get(), ToBn(wide).get(), ToBn(d).get(), bn.get());
    ASSERT_EQ(BnHex(expect.get()), BnHex(a)) << n;
  }
}

TEST(MpModExp, AgreesWithBnOverExponentShapes) {
  TestRandom rng(28);
  BnContext bn;
  for (int trial = 0; trial < 120; ++trial) {
    const uint32_t n = trial < 20 ? 64 : 1 + rng.Below(65);
    Digits d = RandomNumber(rng, n, n);
    if (d[0] == 1 && n == 1) d[0] = 3;
    if (trial % 2 == 0) d[0] |= 1;  // odd like an RSA modulus, or even
    Digits b = RandomNumber(rng, n, n);
    MpMod(b.data(), b.data(), n, d.data(), n);

    Digits e;
    switch (trial % 5) {
      case 0:
        e = {65537};
        break;
      case 1:
        e = {3};
        break;
      case 2:
        e = RandomNumber(rng, 1, 1);
        break;
      default: {
        const uint32_t e_digits = 1 + rng.Below(n);
        e = RandomNumber(rng, e_digits, 1 + rng.Below(e_digits));
        e.resize(e.size() + 2, 0);  // leading zero digits are not significant
        break;
      }
    }
    Digits a(n, 0x77);
    MpModExp(a.data(), b.data(), e.data(), static_cast<uint32_t>(e.size()), d.data(), n);
    Bn expect(BN_new());
    ASSERT_EQ(1, BN_mod_exp(expect.get(), ToBn(b).get(), ToBn(e).get(), ToBn(d).get(), bn.get()));
    ASSERT_EQ(BnHex(expect.get()), BnHex(a)) << "trial " << trial << " digits " << n;
  }
}

TEST(MpModExp, ZeroAndOneExponentsAndUnreducedBase) {
  TestRandom rng(29);
  const Digits d = RandomNumber(rng, 4, 4);
  const Digits b = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};  // above d
  Digits a(4);
  const Digits zero = {0, 0};
  MpModExp(a.data(), b.data(), zero.data(), 2, d.data(), 4);
  EXPECT_EQ((Digits{1, 0, 0, 0}), a);

  const Digits one = {1};
  MpModExp(a.data(), b.data(), one.data(), 1, d.data(), 4);
  Digits expect(4);
  MpMod(expect.data(), b.data(), 4, d.data(), 4);
  EXPECT_EQ(expect, a);

  // The result may be the base's own array.
  Digits base = {5, 0, 0, 0};
  const Digits two = {2};
  MpModExp(base.data(), base.data(), two.data(), 1, d.data(), 4);
  MpModMult(expect.data(), Digits{5, 0, 0, 0}.data(), Digits{5, 0, 0, 0}.data(), d.data(), 4);
  EXPECT_EQ(expect, base);
}

// The final step of a Montgomery multiplication, on constructed values: a
// borrow out of the lowest word must run through a word equal to the
// modulus's and reach the word above it.
TEST(MontReduceOnce, BorrowRunsThroughAnEqualWord) {
  const MontWord kMax = ~MontWord{0};
  struct Case {
    MontWord t[4];
    MontWord n[3];
    MontWord expected[3];
  };
  const Case cases[] = {
      // 20:7:3 - 9:7:5: the low word borrows, the middle one is equal.
      {{3, 7, 20, 0}, {5, 7, 9}, {kMax - 1, kMax, 10}},
      // 1:7:7:3 - max:7:5: through the equal word into the top word.
      {{3, 7, 7, 1}, {5, 7, kMax}, {kMax - 1, kMax, 7}},
      // Equal to n: the result is zero.
      {{5, 7, 9, 0}, {5, 7, 9}, {0, 0, 0}},
      // Below n: nothing is subtracted.
      {{6, 7, 8, 0}, {5, 7, 9}, {6, 7, 8}},
  };
  for (const Case &c : cases) {
    MontWord t[4] = {c.t[0], c.t[1], c.t[2], c.t[3]};
    MontReduceOnce(t, c.n, 3);
    EXPECT_EQ(c.expected[0], t[0]);
    EXPECT_EQ(c.expected[1], t[1]);
    EXPECT_EQ(c.expected[2], t[2]);
  }
}

}  // namespace
}  // namespace obkey

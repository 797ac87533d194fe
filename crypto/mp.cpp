#include "mp.h"

#include "mp_montgomery.h"
#include "wipe.h"

namespace obkey {
namespace {

constexpr uint32_t kDigitBits = 32;
constexpr MpDigit kMaxDigit = 0xFFFFFFFFu;

// The two most significant bits of a digit.
inline MpDigit Top2Bits(MpDigit a) {
  return a >> (kDigitBits - 2);
}

void WipeDigits(MpDigit *a, uint32_t digits) {
  SecureWipe(a, digits * sizeof(MpDigit));
}

// t (2n digits, zero on entry) = b * b over the n significant digits of b:
// the products of distinct digits once, doubled, then the squares added.
void Square(MpDigit *t, const MpDigit *b, uint32_t n) {
  if (n == 0) return;
  for (uint32_t i = 0; i + 1 < n; ++i) {
    t[i + n] = MpAddDigitMult(&t[2 * i + 1], &t[2 * i + 1], b[i], &b[i + 1], n - i - 1);
  }
  MpShiftLeft(t, t, 1, 2 * n);
  uint64_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t square = static_cast<uint64_t>(b[i]) * b[i];
    uint64_t sum = static_cast<uint64_t>(t[2 * i]) + static_cast<uint32_t>(square) + carry;
    t[2 * i] = static_cast<MpDigit>(sum);
    sum = static_cast<uint64_t>(t[2 * i + 1]) + (square >> 32) + (sum >> 32);
    t[2 * i + 1] = static_cast<MpDigit>(sum);
    carry = sum >> 32;
  }
}

// Montgomery arithmetic behind MpModExp for odd moduli: the same b^c mod d,
// reached without a long division per multiplication, over the widest word
// the compiler multiplies in one step.
constexpr uint32_t kMontWordBits = sizeof(MontWord) * 8;
constexpr uint32_t kDigitsPerWord = kMontWordBits / kDigitBits;
// The Montgomery path takes moduli of up to 2048 bits, so that d shifted up
// by R still fits the dividend of MpDiv.
constexpr uint32_t kMontMaxDigits = 64;
constexpr uint32_t kMontMaxWords = kMontMaxDigits / kDigitsPerWord;

struct Montgomery {
  MontWord n[kMontMaxWords];
  MontWord n0;  // -n^-1 modulo the word
  uint32_t words;
};

void ToWords(MontWord *w, const MpDigit *a, uint32_t words) {
  for (uint32_t i = 0; i < words; ++i) {
    MontWord v = 0;
    for (uint32_t j = 0; j < kDigitsPerWord; ++j) {
      v |= static_cast<MontWord>(a[i * kDigitsPerWord + j]) << (j * kDigitBits);
    }
    w[i] = v;
  }
}

void FromWords(MpDigit *a, const MontWord *w, uint32_t words) {
  for (uint32_t i = 0; i < words; ++i) {
    for (uint32_t j = 0; j < kDigitsPerWord; ++j) {
      a[i * kDigitsPerWord + j] = static_cast<MpDigit>(w[i] >> (j * kDigitBits));
    }
  }
}

// r = a * b / R mod n for a, b below n (coarsely integrated operand scanning).
void MontMult(MontWord *r, const MontWord *a, const MontWord *b, const Montgomery &m) {
  const uint32_t s = m.words;
  MontWord t[kMontMaxWords + 2] = {};
  for (uint32_t i = 0; i < s; ++i) {
    MontDouble c = 0;
    const MontWord bi = b[i];
    for (uint32_t j = 0; j < s; ++j) {
      c = static_cast<MontDouble>(a[j]) * bi + t[j] + (c >> kMontWordBits);
      t[j] = static_cast<MontWord>(c);
    }
    c = static_cast<MontDouble>(t[s]) + (c >> kMontWordBits);
    t[s] = static_cast<MontWord>(c);
    t[s + 1] = static_cast<MontWord>(c >> kMontWordBits);

    const MontWord q = t[0] * m.n0;
    c = static_cast<MontDouble>(q) * m.n[0] + t[0];
    for (uint32_t j = 1; j < s; ++j) {
      c = static_cast<MontDouble>(q) * m.n[j] + t[j] + (c >> kMontWordBits);
      t[j - 1] = static_cast<MontWord>(c);
    }
    c = static_cast<MontDouble>(t[s]) + (c >> kMontWordBits);
    t[s - 1] = static_cast<MontWord>(c);
    t[s] = t[s + 1] + static_cast<MontWord>(c >> kMontWordBits);
  }
  // t is below 2n: one subtraction at most.
  MontReduceOnce(t, m.n, s);
  for (uint32_t j = 0; j < s; ++j) r[j] = t[j];
  SecureWipe(t, sizeof t);
}

// a (d_digits digits) = x * R mod d, where R = 2^(word bits * words).
void ToMontgomery(MontWord *out, const MpDigit *x, uint32_t x_digits, const MpDigit *d, uint32_t n,
                  const Montgomery &m) {
  MpDigit shifted[MP_MAX_PRODUCT_DIGITS];
  MpDigit reduced[MP_MAX_DIGITS];
  const uint32_t r_digits = m.words * kDigitsPerWord;
  MpAssignZero(shifted, r_digits);
  MpAssign(shifted + r_digits, x, x_digits);
  MpMod(reduced, shifted, r_digits + x_digits, d, n);
  MpAssignZero(reduced + n, r_digits - n);
  ToWords(out, reduced, m.words);
  WipeDigits(shifted, r_digits + x_digits);
  WipeDigits(reduced, MP_MAX_DIGITS);
}

// WindowedExp raises to the exponent `c` (k significant digits), left to
// right in windows of two bits: two squarings per bit pair, then one
// multiplication by b^s for a nonzero pair s. `mult(out, x, y)` multiplies
// modulo the modulus in whatever form the caller keeps its numbers. On entry
// powers[0] holds b and t holds one; t receives the result. b^2 and b^3 are
// made in powers[1] and powers[2] on first use: an exponent such as 65537
// never needs them.
template <typename Word, size_t kWords, typename Mult>
void WindowedExp(Word (&powers)[3][kWords], Word (&t)[kWords], const MpDigit *c, uint32_t k,
                 Mult mult) {
  bool have_power[3] = {true, false, false};
  for (int64_t i = static_cast<int64_t>(k) - 1; i >= 0; --i) {
    MpDigit ci = c[i];
    uint32_t ci_bits = kDigitBits;
    if (i == static_cast<int64_t>(k) - 1) {
      while (Top2Bits(ci) == 0) {
        ci <<= 2;
        ci_bits -= 2;
      }
    }
    for (uint32_t j = 0; j < ci_bits; j += 2, ci <<= 2) {
      mult(t, t, t);
      mult(t, t, t);
      const MpDigit s = Top2Bits(ci);
      if (s == 0) continue;
      if (!have_power[1] && s >= 2) {
        mult(powers[1], powers[0], powers[0]);
        have_power[1] = true;
      }
      if (!have_power[2] && s == 3) {
        mult(powers[2], powers[1], powers[0]);
        have_power[2] = true;
      }
      mult(t, t, powers[s - 1]);
    }
  }
}

void MontgomeryModExp(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t k, const MpDigit *d,
                      uint32_t d_digits, uint32_t n) {
  Montgomery m;
  m.words = (n + kDigitsPerWord - 1) / kDigitsPerWord;
  MpDigit padded[kMontMaxDigits] = {};
  MpAssign(padded, d, n);
  ToWords(m.n, padded, m.words);
  // Newton's iteration doubles the correct low bits of the inverse each step.
  MontWord inverse = m.n[0];
  for (int i = 0; i < 6; ++i) inverse *= 2 - m.n[0] * inverse;
  m.n0 = static_cast<MontWord>(0) - inverse;

  MontWord powers[3][kMontMaxWords];
  MontWord t[kMontMaxWords];
  ToMontgomery(powers[0], b, d_digits, d, n, m);
  const MpDigit one[1] = {1};
  ToMontgomery(t, one, 1, d, n, m);

  WindowedExp(powers, t, c, k, [&m](MontWord *out, const MontWord *x, const MontWord *y) {
    MontMult(out, x, y, m);
  });

  // Out of Montgomery form: multiply by 1.
  MontWord plain_one[kMontMaxWords] = {1};
  MontMult(t, t, plain_one, m);
  MpDigit result[kMontMaxDigits];
  FromWords(result, t, m.words);
  MpAssignZero(a, d_digits);
  MpAssign(a, result, n);
  SecureWipe(powers, sizeof powers);
  SecureWipe(t, sizeof t);
  WipeDigits(result, kMontMaxDigits);
}

}  // namespace

void MpDecode(MpDigit *a, uint32_t digits, const uint8_t *bytes, uint32_t len) {
  uint32_t i = 0;
  int64_t j = static_cast<int64_t>(len) - 1;
  for (; i < digits && j >= 0; ++i) {
    MpDigit t = 0;
    for (uint32_t u = 0; j >= 0 && u < kDigitBits; --j, u += 8) {
      t |= static_cast<MpDigit>(bytes[j]) << u;
    }
    a[i] = t;
  }
  for (; i < digits; ++i) a[i] = 0;
}

void MpEncode(uint8_t *bytes, uint32_t len, const MpDigit *a, uint32_t digits) {
  int64_t j = static_cast<int64_t>(len) - 1;
  for (uint32_t i = 0; i < digits && j >= 0; ++i) {
    const MpDigit t = a[i];
    for (uint32_t u = 0; j >= 0 && u < kDigitBits; --j, u += 8) {
      bytes[j] = static_cast<uint8_t>(t >> u);
    }
  }
  for (; j >= 0; --j) bytes[j] = 0;
}

void MpAssign(MpDigit *a, const MpDigit *b, uint32_t digits) {
  for (uint32_t i = 0; i < digits; ++i) a[i] = b[i];
}

void MpAssignZero(MpDigit *a, uint32_t digits) {
  for (uint32_t i = 0; i < digits; ++i) a[i] = 0;
}

MpDigit MpSub(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t digits) {
  MpDigit borrow = 0;
  for (uint32_t i = 0; i < digits; ++i) {
    const uint64_t diff = static_cast<uint64_t>(b[i]) - c[i] - borrow;
    a[i] = static_cast<MpDigit>(diff);
    borrow = static_cast<MpDigit>(diff >> 63);
  }
  return borrow;
}

void MpMult(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t digits) {
  MpDigit t[MP_MAX_PRODUCT_DIGITS];
  MpAssignZero(t, 2 * digits);
  const uint32_t b_digits = MpDigits(b, digits);
  if (b == c) {
    Square(t, b, b_digits);
  } else {
    const uint32_t c_digits = MpDigits(c, digits);
    for (uint32_t i = 0; i < b_digits; ++i) {
      t[i + c_digits] += MpAddDigitMult(&t[i], &t[i], b[i], c, c_digits);
    }
  }
  MpAssign(a, t, 2 * digits);
  WipeDigits(t, 2 * digits);
}

MpDigit MpShiftLeft(MpDigit *a, const MpDigit *b, uint32_t count, uint32_t digits) {
  if (count >= kDigitBits) return 0;
  const uint32_t back = kDigitBits - count;
  MpDigit carry = 0;
  for (uint32_t i = 0; i < digits; ++i) {
    const MpDigit bi = b[i];
    a[i] = (bi << count) | carry;
    carry = count != 0 ? bi >> back : 0;
  }
  return carry;
}

MpDigit MpShiftRight(MpDigit *a, const MpDigit *b, uint32_t count, uint32_t digits) {
  if (count >= kDigitBits) return 0;
  const uint32_t back = kDigitBits - count;
  MpDigit carry = 0;
  for (uint32_t i = digits; i-- > 0;) {
    const MpDigit bi = b[i];
    a[i] = (bi >> count) | carry;
    carry = count != 0 ? bi << back : 0;
  }
  return carry;
}

void MpDiv(MpDigit *quotient, MpDigit *remainder, const MpDigit *c, uint32_t c_digits,
           const MpDigit *d, uint32_t d_digits) {
  const uint32_t n = MpDigits(d, d_digits);
  if (n == 0) return;

  // Normalise so that the divisor's top digit has its top bit set.
  MpDigit cc[MP_MAX_PRODUCT_DIGITS + 1];
  MpDigit dd[MP_MAX_DIGITS];
  const uint32_t shift = kDigitBits - MpDigitBits(d[n - 1]);
  // A dividend shorter than the divisor leaves digits the shift never writes.
  MpAssignZero(cc, n);
  cc[c_digits] = MpShiftLeft(cc, c, shift, c_digits);
  // The shift below writes every digit (shift < kDigitBits, as d[n - 1] != 0);
  // the x86_64 compiler cannot see that and would warn of an unset dd[n - 1].
  MpAssignZero(dd, n);
  MpShiftLeft(dd, d, shift, n);
  const MpDigit t = dd[n - 1];

  MpAssignZero(quotient, c_digits);
  for (int64_t i = static_cast<int64_t>(c_digits) - n; i >= 0; --i) {
    // The estimate never exceeds the true digit; the loop below raises it.
    MpDigit ai;
    if (t == kMaxDigit) {
      ai = cc[i + n];
    } else {
      ai = MpDigitDiv(&cc[i + n - 1], t + 1);
    }
    cc[i + n] -= MpSubDigitMult(&cc[i], &cc[i], ai, dd, n);
    while (cc[i + n] != 0 || MpCmp(&cc[i], dd, n) >= 0) {
      ++ai;
      cc[i + n] -= MpSub(&cc[i], &cc[i], dd, n);
    }
    quotient[i] = ai;
  }

  MpAssignZero(remainder, d_digits);
  MpShiftRight(remainder, cc, shift, n);
  WipeDigits(cc, MP_MAX_PRODUCT_DIGITS + 1);
  WipeDigits(dd, MP_MAX_DIGITS);
}

void MpMod(MpDigit *a, const MpDigit *b, uint32_t b_digits, const MpDigit *c, uint32_t c_digits) {
  MpDigit quotient[MP_MAX_PRODUCT_DIGITS];
  MpDiv(quotient, a, b, b_digits, c, c_digits);
  WipeDigits(quotient, MP_MAX_PRODUCT_DIGITS);
}

void MpModMult(MpDigit *a, const MpDigit *b, const MpDigit *c, const MpDigit *d, uint32_t digits) {
  MpDigit t[MP_MAX_PRODUCT_DIGITS];
  MpMult(t, b, c, digits);
  MpMod(a, t, 2 * digits, d, digits);
  WipeDigits(t, MP_MAX_PRODUCT_DIGITS);
}

void MpModExp(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t c_digits, const MpDigit *d,
              uint32_t d_digits) {
  const uint32_t k = MpDigits(c, c_digits);
  const uint32_t n = MpDigits(d, d_digits);
  // An odd modulus above 1 (every RSA modulus) takes the Montgomery path.
  if (k != 0 && n != 0 && n <= kMontMaxDigits && (d[0] & 1) != 0 && (n > 1 || d[0] > 1)) {
    MontgomeryModExp(a, b, c, k, d, d_digits, n);
    return;
  }

  MpDigit powers[3][MP_MAX_DIGITS];
  MpDigit t[MP_MAX_DIGITS];
  MpAssign(powers[0], b, d_digits);

  MpAssignZero(t, d_digits);
  t[0] = 1;

  WindowedExp(powers, t, c, k, [d, d_digits](MpDigit *out, const MpDigit *x, const MpDigit *y) {
    MpModMult(out, x, y, d, d_digits);
  });

  MpAssign(a, t, d_digits);
  SecureWipe(powers, sizeof powers);
  WipeDigits(t, MP_MAX_DIGITS);
}

int MpCmp(const MpDigit *a, const MpDigit *b, uint32_t digits) {
  for (uint32_t i = digits; i-- > 0;) {
    if (a[i] > b[i]) return 1;
    if (a[i] < b[i]) return -1;
  }
  return 0;
}

uint32_t MpDigits(const MpDigit *a, uint32_t digits) {
  uint32_t i = digits;
  while (i > 0 && a[i - 1] == 0) --i;
  return i;
}

void MpDigitMult(MpDigit a[2], MpDigit b, MpDigit c) {
  const uint64_t product = static_cast<uint64_t>(b) * c;
  a[0] = static_cast<MpDigit>(product);
  a[1] = static_cast<MpDigit>(product >> 32);
}

MpDigit MpDigitDiv(const MpDigit b[2], MpDigit c) {
  const uint64_t dividend = static_cast<uint64_t>(b[1]) << 32 | b[0];
  return static_cast<MpDigit>(dividend / c);
}

MpDigit MpAddDigitMult(MpDigit *a, const MpDigit *b, MpDigit c, const MpDigit *d, uint32_t digits) {
  if (c == 0) return 0;
  uint64_t carry = 0;
  for (uint32_t i = 0; i < digits; ++i) {
    const uint64_t sum = static_cast<uint64_t>(c) * d[i] + b[i] + carry;
    a[i] = static_cast<MpDigit>(sum);
    carry = sum >> 32;
  }
  return static_cast<MpDigit>(carry);
}

MpDigit MpSubDigitMult(MpDigit *a, const MpDigit *b, MpDigit c, const MpDigit *d, uint32_t digits) {
  if (c == 0) return 0;
  uint64_t borrow = 0;
  for (uint32_t i = 0; i < digits; ++i) {
    const uint64_t product = static_cast<uint64_t>(c) * d[i] + borrow;
    const MpDigit low = static_cast<MpDigit>(product);
    const MpDigit bi = b[i];
    a[i] = bi - low;
    borrow = (product >> 32) + (bi < low ? 1 : 0);
  }
  return static_cast<MpDigit>(borrow);
}

uint32_t MpDigitBits(MpDigit a) {
  uint32_t bits = 0;
  while (a != 0) {
    ++bits;
    a >>= 1;
  }
  return bits;
}

void MontReduceOnce(MontWord *t, const MontWord *n, uint32_t s) {
  bool subtract = t[s] != 0;
  if (!subtract) {
    subtract = true;
    for (uint32_t j = s; j-- > 0;) {
      if (t[j] != n[j]) {
        subtract = t[j] > n[j];
        break;
      }
    }
  }
  if (!subtract) return;
  MontWord borrow = 0;
  for (uint32_t j = 0; j < s; ++j) {
    const MontWord x = t[j], y = n[j];
    const MontWord diff = x - y - borrow;
    borrow = (x < y || (x == y && borrow != 0)) ? 1 : 0;
    t[j] = diff;
  }
}

}  // namespace obkey

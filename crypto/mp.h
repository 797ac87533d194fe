// Arithmetic on non-negative integers of up to 2048 bits, held as arrays of
// 32-bit digits, least significant digit first, with the digit count passed
// alongside. Digits above the count are never read or written. Unless an
// operation says otherwise its result may be the same array as an operand.
// Nothing is allocated; temporaries that held operand material are wiped.
#ifndef OBKEY_CRYPTO_MP_H
#define OBKEY_CRYPTO_MP_H

#include <cstdint>

namespace obkey {

using MpDigit = uint32_t;

// Capacity of a number kept as a temporary: 2048 bits and one spare digit.
constexpr uint32_t MP_MAX_DIGITS = 65;
// Products and dividends hold twice that.
constexpr uint32_t MP_MAX_PRODUCT_DIGITS = 2 * MP_MAX_DIGITS;

// a (|digits| digits) = the big-endian string |bytes|. Leading bytes that do
// not fit are ignored; digits left over are zero.
void MpDecode(MpDigit *a, uint32_t digits, const uint8_t *bytes, uint32_t len);
// Writes a as exactly |len| big-endian bytes: digits that do not fit are
// dropped, leading positions left over are zero.
void MpEncode(uint8_t *bytes, uint32_t len, const MpDigit *a, uint32_t digits);

void MpAssign(MpDigit *a, const MpDigit *b, uint32_t digits);
void MpAssignZero(MpDigit *a, uint32_t digits);

// a = b - c modulo 2^(32 digits); returns the borrow, 0 or 1.
MpDigit MpSub(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t digits);

// a (2 |digits| digits) = b * c. a may overlap b or c.
void MpMult(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t digits);

// For |count| below 32: a = b * 2^count truncated to |digits| digits; returns
// the bits shifted out of the top. For 32 or more writes nothing, returns 0.
MpDigit MpShiftLeft(MpDigit *a, const MpDigit *b, uint32_t count, uint32_t digits);
// For |count| below 32: a = b / 2^count; returns the bits shifted out of the
// bottom, at the top of the digit. For 32 or more writes nothing, returns 0.
MpDigit MpShiftRight(MpDigit *a, const MpDigit *b, uint32_t count, uint32_t digits);

// quotient (|c_digits| digits) = c div d, remainder (|d_digits| digits) =
// c mod d, with |c_digits| at most 130 and |d_digits| at most 65. A zero
// divisor leaves both unwritten.
void MpDiv(MpDigit *quotient, MpDigit *remainder, const MpDigit *c, uint32_t c_digits,
           const MpDigit *d, uint32_t d_digits);
// a (|c_digits| digits) = b mod c.
void MpMod(MpDigit *a, const MpDigit *b, uint32_t b_digits, const MpDigit *c, uint32_t c_digits);
// a = (b * c) mod d, all of |digits| digits (at most 65).
void MpModMult(MpDigit *a, const MpDigit *b, const MpDigit *c, const MpDigit *d, uint32_t digits);
// a (|d_digits| digits) = b^c mod d; b has |d_digits| digits, the exponent c
// has |c_digits|. A zero exponent yields 1.
void MpModExp(MpDigit *a, const MpDigit *b, const MpDigit *c, uint32_t c_digits, const MpDigit *d,
              uint32_t d_digits);

// 1 if a > b, -1 if a < b, 0 if equal over |digits| digits.
int MpCmp(const MpDigit *a, const MpDigit *b, uint32_t digits);
// The number of significant digits of a (0 for zero), at most |digits|.
uint32_t MpDigits(const MpDigit *a, uint32_t digits);

// Digit-level helpers.

// a[0] (low) and a[1] (high) = b * c.
void MpDigitMult(MpDigit a[2], MpDigit b, MpDigit c);
// The quotient digit of the two-digit b (b[1] high) by c; b[1] must be below c.
MpDigit MpDigitDiv(const MpDigit b[2], MpDigit c);
// a = b + c * d over |digits| digits; returns the carry digit. A zero c
// returns 0 at once and writes nothing.
MpDigit MpAddDigitMult(MpDigit *a, const MpDigit *b, MpDigit c, const MpDigit *d, uint32_t digits);
// a = b - c * d over |digits| digits; returns the borrow digit. A zero c
// returns 0 at once and writes nothing.
MpDigit MpSubDigitMult(MpDigit *a, const MpDigit *b, MpDigit c, const MpDigit *d, uint32_t digits);
// The number of significant bits of a, 0 to 32.
uint32_t MpDigitBits(MpDigit a);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_MP_H

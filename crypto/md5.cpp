#include "md5.h"

#include <cstring>

#include "byte_order.h"
#include "wipe.h"

namespace obkey {
namespace {

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// The round functions in forms that shorten the dependency chain: G adds its
// two disjoint terms, and I's operands are independent of the running sum.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP_F(a, b, c, d, x, s, t) \
  a += MD5_F(b, c, d) + (x) + (t);      \
  a = Rotl(a, s) + b
#define MD5_STEP_G(a, b, c, d, x, s, t)        \
  a += ((d) & (b)) + (x) + (t) + (~(d) & (c)); \
  a = Rotl(a, s) + b
#define MD5_STEP_H(a, b, c, d, x, s, t) \
  a += MD5_H(b, c, d) + (x) + (t);      \
  a = Rotl(a, s) + b
#define MD5_STEP_I(a, b, c, d, x, s, t) \
  a += MD5_I(b, c, d) + (x) + (t);      \
  a = Rotl(a, s) + b

// Md5Blocks hashes |blocks| whole 64-byte blocks from |p| into |state|.
void Md5Blocks(uint32_t state[4], const uint8_t *p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t x[16];
  for (; blocks != 0; --blocks, p += 64) {
    for (int i = 0; i < 16; ++i) x[i] = LoadLe32(p + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    MD5_STEP_F(a, b, c, d, x[0], 7, 0xd76aa478);
    MD5_STEP_F(d, a, b, c, x[1], 12, 0xe8c7b756);
    MD5_STEP_F(c, d, a, b, x[2], 17, 0x242070db);
    MD5_STEP_F(b, c, d, a, x[3], 22, 0xc1bdceee);
    MD5_STEP_F(a, b, c, d, x[4], 7, 0xf57c0faf);
    MD5_STEP_F(d, a, b, c, x[5], 12, 0x4787c62a);
    MD5_STEP_F(c, d, a, b, x[6], 17, 0xa8304613);
    MD5_STEP_F(b, c, d, a, x[7], 22, 0xfd469501);
    MD5_STEP_F(a, b, c, d, x[8], 7, 0x698098d8);
    MD5_STEP_F(d, a, b, c, x[9], 12, 0x8b44f7af);
    MD5_STEP_F(c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP_F(b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP_F(a, b, c, d, x[12], 7, 0x6b901122);
    MD5_STEP_F(d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP_F(c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP_F(b, c, d, a, x[15], 22, 0x49b40821);

    MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
    MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
    MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
    MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
    MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
    MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
    MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
    MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
    MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
    MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
    MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
    MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    MD5_STEP_H(a, b, c, d, x[5], 4, 0xfffa3942);
    MD5_STEP_H(d, a, b, c, x[8], 11, 0x8771f681);
    MD5_STEP_H(c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP_H(b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP_H(a, b, c, d, x[1], 4, 0xa4beea44);
    MD5_STEP_H(d, a, b, c, x[4], 11, 0x4bdecfa9);
    MD5_STEP_H(c, d, a, b, x[7], 16, 0xf6bb4b60);
    MD5_STEP_H(b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP_H(a, b, c, d, x[13], 4, 0x289b7ec6);
    MD5_STEP_H(d, a, b, c, x[0], 11, 0xeaa127fa);
    MD5_STEP_H(c, d, a, b, x[3], 16, 0xd4ef3085);
    MD5_STEP_H(b, c, d, a, x[6], 23, 0x04881d05);
    MD5_STEP_H(a, b, c, d, x[9], 4, 0xd9d4d039);
    MD5_STEP_H(d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP_H(c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP_H(b, c, d, a, x[2], 23, 0xc4ac5665);

    MD5_STEP_I(a, b, c, d, x[0], 6, 0xf4292244);
    MD5_STEP_I(d, a, b, c, x[7], 10, 0x432aff97);
    MD5_STEP_I(c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP_I(b, c, d, a, x[5], 21, 0xfc93a039);
    MD5_STEP_I(a, b, c, d, x[12], 6, 0x655b59c3);
    MD5_STEP_I(d, a, b, c, x[3], 10, 0x8f0ccc92);
    MD5_STEP_I(c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP_I(b, c, d, a, x[1], 21, 0x85845dd1);
    MD5_STEP_I(a, b, c, d, x[8], 6, 0x6fa87e4f);
    MD5_STEP_I(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP_I(c, d, a, b, x[6], 15, 0xa3014314);
    MD5_STEP_I(b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP_I(a, b, c, d, x[4], 6, 0xf7537e82);
    MD5_STEP_I(d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP_I(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    MD5_STEP_I(b, c, d, a, x[9], 21, 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
  SecureWipe(x, sizeof x);
}

}  // namespace

void Md5Init(Md5Context *ctx) {
  ctx->count[0] = ctx->count[1] = 0;
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
}

void Md5Update(Md5Context *ctx, const uint8_t *data, uint32_t len) {
  if (len == 0) return;
  uint32_t index = (ctx->count[0] >> 3) & 0x3F;
  uint32_t old_low = ctx->count[0];
  ctx->count[0] += len << 3;
  if (ctx->count[0] < old_low) ctx->count[1]++;
  ctx->count[1] += len >> 29;

  uint32_t part = 64 - index;
  uint32_t i = 0;
  if (len >= part) {
    std::memcpy(ctx->buffer + index, data, part);
    Md5Blocks(ctx->state, ctx->buffer, 1);
    i = part;
    size_t blocks = (len - i) / 64;
    Md5Blocks(ctx->state, data + i, blocks);
    i += static_cast<uint32_t>(blocks * 64);
    index = 0;
  }
  std::memcpy(ctx->buffer + index, data + i, len - i);
}

void Md5Final(uint8_t digest[16], Md5Context *ctx) {
  uint8_t bits[8];
  StoreLe32(bits, ctx->count[0]);
  StoreLe32(bits + 4, ctx->count[1]);

  static const uint8_t kPadding[64] = {0x80};
  uint32_t index = (ctx->count[0] >> 3) & 0x3F;
  uint32_t pad_len = index < 56 ? 56 - index : 120 - index;
  Md5Update(ctx, kPadding, pad_len);
  Md5Update(ctx, bits, 8);

  for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, ctx->state[i]);
  SecureWipe(ctx, sizeof *ctx);
}

}  // namespace obkey

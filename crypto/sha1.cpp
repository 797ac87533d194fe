#include "sha1.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "wipe.h"

#if defined(__x86_64__) || defined(__i386__)
#define OBKEY_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace obkey {
namespace {

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// Rounds over a 16-word circular message schedule with the one-bit rotation.
#define SHA1_W(t) \
  (w[(t)&15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))
#define SHA1_ROUND(a, b, c, d, e, f, k, x) \
  e += Rotl(a, 5) + (f) + (k) + (x);       \
  b = Rotl(b, 30)
#define SHA1_F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

void Sha1BlocksPortable(uint32_t h[5], const uint8_t *p, size_t blocks) {
  uint32_t w[16];
  for (; blocks != 0; --blocks, p += 64) {
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 16; i += 5) {
      w[i] = LoadBe32(p + 4 * i);
      SHA1_ROUND(a, b, c, d, e, SHA1_F1(b, c, d), 0x5A827999, w[i]);
      if (i + 1 == 16) break;
      w[i + 1] = LoadBe32(p + 4 * (i + 1));
      SHA1_ROUND(e, a, b, c, d, SHA1_F1(a, b, c), 0x5A827999, w[i + 1]);
      w[i + 2] = LoadBe32(p + 4 * (i + 2));
      SHA1_ROUND(d, e, a, b, c, SHA1_F1(e, a, b), 0x5A827999, w[i + 2]);
      w[i + 3] = LoadBe32(p + 4 * (i + 3));
      SHA1_ROUND(c, d, e, a, b, SHA1_F1(d, e, a), 0x5A827999, w[i + 3]);
      w[i + 4] = LoadBe32(p + 4 * (i + 4));
      SHA1_ROUND(b, c, d, e, a, SHA1_F1(c, d, e), 0x5A827999, w[i + 4]);
    }
    // Round 15 was the first of a five-round group; rounds 16 to 19 finish it.
    SHA1_ROUND(e, a, b, c, d, SHA1_F1(a, b, c), 0x5A827999, SHA1_W(16));
    SHA1_ROUND(d, e, a, b, c, SHA1_F1(e, a, b), 0x5A827999, SHA1_W(17));
    SHA1_ROUND(c, d, e, a, b, SHA1_F1(d, e, a), 0x5A827999, SHA1_W(18));
    SHA1_ROUND(b, c, d, e, a, SHA1_F1(c, d, e), 0x5A827999, SHA1_W(19));
    for (int t = 20; t < 40; t += 5) {
      SHA1_ROUND(a, b, c, d, e, SHA1_F2(b, c, d), 0x6ED9EBA1, SHA1_W(t));
      SHA1_ROUND(e, a, b, c, d, SHA1_F2(a, b, c), 0x6ED9EBA1, SHA1_W(t + 1));
      SHA1_ROUND(d, e, a, b, c, SHA1_F2(e, a, b), 0x6ED9EBA1, SHA1_W(t + 2));
      SHA1_ROUND(c, d, e, a, b, SHA1_F2(d, e, a), 0x6ED9EBA1, SHA1_W(t + 3));
      SHA1_ROUND(b, c, d, e, a, SHA1_F2(c, d, e), 0x6ED9EBA1, SHA1_W(t + 4));
    }
    for (int t = 40; t < 60; t += 5) {
      SHA1_ROUND(a, b, c, d, e, SHA1_F3(b, c, d), 0x8F1BBCDC, SHA1_W(t));
      SHA1_ROUND(e, a, b, c, d, SHA1_F3(a, b, c), 0x8F1BBCDC, SHA1_W(t + 1));
      SHA1_ROUND(d, e, a, b, c, SHA1_F3(e, a, b), 0x8F1BBCDC, SHA1_W(t + 2));
      SHA1_ROUND(c, d, e, a, b, SHA1_F3(d, e, a), 0x8F1BBCDC, SHA1_W(t + 3));
      SHA1_ROUND(b, c, d, e, a, SHA1_F3(c, d, e), 0x8F1BBCDC, SHA1_W(t + 4));
    }
    for (int t = 60; t < 80; t += 5) {
      SHA1_ROUND(a, b, c, d, e, SHA1_F2(b, c, d), 0xCA62C1D6, SHA1_W(t));
      SHA1_ROUND(e, a, b, c, d, SHA1_F2(a, b, c), 0xCA62C1D6, SHA1_W(t + 1));
      SHA1_ROUND(d, e, a, b, c, SHA1_F2(e, a, b), 0xCA62C1D6, SHA1_W(t + 2));
      SHA1_ROUND(c, d, e, a, b, SHA1_F2(d, e, a), 0xCA62C1D6, SHA1_W(t + 3));
      SHA1_ROUND(b, c, d, e, a, SHA1_F2(c, d, e), 0xCA62C1D6, SHA1_W(t + 4));
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  SecureWipe(w, sizeof w);
}

#ifdef OBKEY_SHA1_X86

bool CpuHasShaExtensions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!ssse3 || !sse41) return false;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & (1u << 29)) != 0;
}

// One group of four rounds: |e_next| takes the schedule words, |e_keep|
// keeps the a of the group for the next one.
#define SHA1NI_GROUP(e_next, e_keep, msg, func) \
  e_next = _mm_sha1nexte_epu32(e_next, msg);    \
  e_keep = abcd;                                \
  abcd = _mm_sha1rnds4_epu32(abcd, e_next, func)

// The schedule of the word group g + 4 is built from groups g to g + 3 over
// three of the following groups: msg1, then xor, then msg2.
#define SHA1NI_MSG1(m_old, m_new) m_old = _mm_sha1msg1_epu32(m_old, m_new)
#define SHA1NI_XOR(m_old, m_new) m_old = _mm_xor_si128(m_old, m_new)
#define SHA1NI_MSG2(m_old, m_new) m_old = _mm_sha1msg2_epu32(m_old, m_new)

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1BlocksShaExtensions(uint32_t h[5],
                                                                         const uint8_t *p,
                                                                         size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
  __m128i e1;
  __m128i m0, m1, m2, m3;

  for (; blocks != 0; --blocks, p += 64) {
    const __m128i abcd_saved = abcd;
    const __m128i e_saved = e0;

    m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), byte_swap);
    m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16)), byte_swap);
    m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)), byte_swap);
    m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)), byte_swap);

    // Group 0: e is added plainly, not rotated.
    e0 = _mm_add_epi32(e0, m0);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    // Group 1.
    SHA1NI_GROUP(e1, e0, m1, 0);
    SHA1NI_MSG1(m0, m1);
    // Group 2.
    SHA1NI_GROUP(e0, e1, m2, 0);
    SHA1NI_MSG1(m1, m2);
    SHA1NI_XOR(m0, m2);
    // Group 3.
    SHA1NI_GROUP(e1, e0, m3, 0);
    SHA1NI_MSG2(m0, m3);
    SHA1NI_MSG1(m2, m3);
    SHA1NI_XOR(m1, m3);
    // Groups 4 to 16 all build schedule words; the pattern turns every four.
#define SHA1NI_FULL(e_next, e_keep, ma, mb, mc, md, func) \
  SHA1NI_GROUP(e_next, e_keep, ma, func);                 \
  SHA1NI_MSG2(mb, ma);                                    \
  SHA1NI_MSG1(md, ma);                                    \
  SHA1NI_XOR(mc, ma)
    SHA1NI_FULL(e0, e1, m0, m1, m2, m3, 0);  // 4
    SHA1NI_FULL(e1, e0, m1, m2, m3, m0, 1);  // 5
    SHA1NI_FULL(e0, e1, m2, m3, m0, m1, 1);  // 6
    SHA1NI_FULL(e1, e0, m3, m0, m1, m2, 1);  // 7
    SHA1NI_FULL(e0, e1, m0, m1, m2, m3, 1);  // 8
    SHA1NI_FULL(e1, e0, m1, m2, m3, m0, 1);  // 9
    SHA1NI_FULL(e0, e1, m2, m3, m0, m1, 2);  // 10
    SHA1NI_FULL(e1, e0, m3, m0, m1, m2, 2);  // 11
    SHA1NI_FULL(e0, e1, m0, m1, m2, m3, 2);  // 12
    SHA1NI_FULL(e1, e0, m1, m2, m3, m0, 2);  // 13
    SHA1NI_FULL(e0, e1, m2, m3, m0, m1, 2);  // 14
    SHA1NI_FULL(e1, e0, m3, m0, m1, m2, 3);  // 15
    SHA1NI_FULL(e0, e1, m0, m1, m2, m3, 3);  // 16
#undef SHA1NI_FULL
    // Group 17: the last xor and msg2 are still needed.
    SHA1NI_GROUP(e1, e0, m1, 3);
    SHA1NI_MSG2(m2, m1);
    SHA1NI_XOR(m3, m1);
    // Group 18: the last msg2.
    SHA1NI_GROUP(e0, e1, m2, 3);
    SHA1NI_MSG2(m3, m2);
    // Group 19.
    SHA1NI_GROUP(e1, e0, m3, 3);

    e0 = _mm_sha1nexte_epu32(e0, e_saved);
    abcd = _mm_add_epi32(abcd, abcd_saved);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

const bool kHaveShaExtensions = CpuHasShaExtensions();

#else

const bool kHaveShaExtensions = false;

void Sha1BlocksShaExtensions(uint32_t h[5], const uint8_t *p, size_t blocks) {
  Sha1BlocksPortable(h, p, blocks);
}

#endif  // OBKEY_SHA1_X86

// OBKEY_SHA1_ENGINE=portable|sha, read once at load, forces an engine so that
// the tests run every path whatever CPU they are on; an engine the CPU lacks
// is never chosen.
Sha1Engine StartupEngine() {
  const char *forced = std::getenv("OBKEY_SHA1_ENGINE");
  if (forced != nullptr && std::strcmp(forced, "portable") == 0) return Sha1Engine::kPortable;
  return kHaveShaExtensions ? Sha1Engine::kShaExtensions : Sha1Engine::kPortable;
}

Sha1Engine g_engine = StartupEngine();

void Sha1Blocks(uint32_t h[5], const uint8_t *p, size_t blocks) {
  if (blocks == 0) return;
  if (g_engine == Sha1Engine::kShaExtensions) {
    Sha1BlocksShaExtensions(h, p, blocks);
  } else {
    Sha1BlocksPortable(h, p, blocks);
  }
}

// Absorbs |len| bytes, none of which overflows the bit count.
void Sha1Absorb(Sha1Context *ctx, const uint8_t *data, uint32_t len) {
  uint32_t index = static_cast<uint32_t>(ctx->index);
  if (index != 0) {
    uint32_t take = 64 - index < len ? 64 - index : len;
    std::memcpy(ctx->block + index, data, take);
    index += take;
    data += take;
    len -= take;
    if (index < 64) {
      ctx->index = static_cast<int32_t>(index);
      return;
    }
    Sha1Blocks(ctx->hash, ctx->block, 1);
    index = 0;
  }
  Sha1Blocks(ctx->hash, data, len / 64);
  uint32_t tail = len % 64;
  std::memcpy(ctx->block, data + (len - tail), tail);
  ctx->index = static_cast<int32_t>(tail);
}

void Sha1Pad(Sha1Context *ctx) {
  int32_t i = ctx->index;
  ctx->block[i++] = 0x80;
  if (i > 56) {
    std::memset(ctx->block + i, 0, 64 - i);
    Sha1Blocks(ctx->hash, ctx->block, 1);
    i = 0;
  }
  std::memset(ctx->block + i, 0, 56 - i);
  StoreBe32(ctx->block + 56, ctx->length_high);
  StoreBe32(ctx->block + 60, ctx->length_low);
  Sha1Blocks(ctx->hash, ctx->block, 1);
}

}  // namespace

int32_t Sha1Init(Sha1Context *ctx) {
  if (ctx == nullptr) return SHA1_E_NULL;
  ctx->length_low = 0;
  ctx->length_high = 0;
  ctx->index = 0;
  ctx->hash[0] = 0x67452301;
  ctx->hash[1] = 0xEFCDAB89;
  ctx->hash[2] = 0x98BADCFE;
  ctx->hash[3] = 0x10325476;
  ctx->hash[4] = 0xC3D2E1F0;
  ctx->computed = 0;
  ctx->corrupted = 0;
  return 0;
}

int32_t Sha1Update(Sha1Context *ctx, const uint8_t *data, uint32_t len) {
  if (len == 0) return 0;
  if (ctx == nullptr || data == nullptr) return SHA1_E_NULL;
  if (ctx->computed != 0) {
    ctx->corrupted = SHA1_E_STATE_ERROR;
    return SHA1_E_STATE_ERROR;
  }
  if (ctx->corrupted != 0) return ctx->corrupted;

  // The byte that makes the 64-bit bit count wrap is still absorbed; it
  // poisons the context and the bytes after it are dropped.
  const uint64_t bits = static_cast<uint64_t>(ctx->length_high) << 32 | ctx->length_low;
  const uint64_t room = (0 - bits) >> 3;  // bytes until the count wraps; 0 means 2^61
  uint32_t take = len;
  bool overflows = false;
  if (room != 0 && room <= len) {
    take = static_cast<uint32_t>(room);
    overflows = true;
  }
  Sha1Absorb(ctx, data, take);
  const uint64_t new_bits = bits + (static_cast<uint64_t>(take) << 3);
  ctx->length_low = static_cast<uint32_t>(new_bits);
  ctx->length_high = static_cast<uint32_t>(new_bits >> 32);
  if (overflows) ctx->corrupted = SHA1_E_NULL;
  return 0;
}

int32_t Sha1Final(Sha1Context *ctx, uint8_t digest[20]) {
  if (ctx == nullptr || digest == nullptr) return SHA1_E_NULL;
  if (ctx->corrupted != 0) return ctx->corrupted;
  if (ctx->computed == 0) {
    Sha1Pad(ctx);
    SecureWipe(ctx->block, sizeof ctx->block);
    ctx->length_low = 0;
    ctx->length_high = 0;
    ctx->computed = 1;
  }
  for (int i = 0; i < 5; ++i) StoreBe32(digest + 4 * i, ctx->hash[i]);
  return 0;
}

bool Sha1HasEngine(Sha1Engine engine) {
  return engine == Sha1Engine::kPortable || kHaveShaExtensions;
}

bool Sha1SelectEngine(Sha1Engine engine) {
  if (!Sha1HasEngine(engine)) return false;
  g_engine = engine;
  return true;
}

Sha1Engine Sha1ActiveEngine() {
  return g_engine;
}

}  // namespace obkey

#include "tdes.h"

#include <openssl/des.h>

#include <cstring>

#include "byte_order.h"
#include "wipe.h"

namespace obkey {
namespace {

static_assert(sizeof(DES_LONG) == 4, "DES_LONG is a 32-bit word");
static_assert(sizeof(DES_key_schedule) == sizeof(TripleDesContext::schedule[0]),
              "TripleDesContext holds OpenSSL key schedules");

// The first four bytes of the weak and semi-weak DES keys, in the order they
// are tested. Only four bytes are compared: a part is refused on its prefix.
constexpr uint8_t kWeakPrefixes[16][4] = {
    {0x01, 0x01, 0x01, 0x01}, {0xFE, 0xFE, 0xFE, 0xFE}, {0x1F, 0x1F, 0x1F, 0x1F},
    {0xE0, 0xE0, 0xE0, 0xE0}, {0x01, 0xFE, 0x01, 0xFE}, {0xFE, 0x01, 0xFE, 0x01},
    {0x1F, 0xE0, 0x1F, 0xE0}, {0xE0, 0x1F, 0xE0, 0x1F}, {0x01, 0xE0, 0x01, 0xE0},
    {0xE0, 0x01, 0xE0, 0x01}, {0x1F, 0xFE, 0x1F, 0xFE}, {0xFE, 0x1F, 0xFE, 0x1F},
    {0x01, 0x1F, 0x01, 0x1F}, {0x1F, 0x01, 0x1F, 0x01}, {0xE0, 0xFE, 0xE0, 0xFE},
    {0xFE, 0xE0, 0xFE, 0xE0}};

bool HasOddParity(uint8_t b) {
  b ^= b >> 4;
  b ^= b >> 2;
  b ^= b >> 1;
  return (b & 1) != 0;
}

void SetOddParity(uint8_t *part) {
  for (int i = 0; i < 8; ++i) {
    uint8_t high = part[i] & 0xFE;
    part[i] = HasOddParity(high) ? high : static_cast<uint8_t>(high | 1);
  }
}

bool KeyPartAccepted(const uint8_t *part) {
  for (int i = 0; i < 8; ++i) {
    if (!HasOddParity(part[i])) return false;
  }
  for (const auto &prefix : kWeakPrefixes) {
    if (std::memcmp(part, prefix, 4) == 0) return false;
  }
  return true;
}

DES_key_schedule *Schedule(TripleDesContext *ctx, int i) {
  return reinterpret_cast<DES_key_schedule *>(ctx->schedule[i]);
}

// OpenSSL's block functions take non-const schedules but only read them.
DES_key_schedule *Schedule(const TripleDesContext *ctx, int i) {
  return Schedule(const_cast<TripleDesContext *>(ctx), i);
}

void BuildSchedule(const uint8_t *part, TripleDesContext *ctx, int i) {
  // const_DES_cblock is not const in OpenSSL's headers; the key is only read.
  DES_set_key_unchecked(reinterpret_cast<const_DES_cblock *>(const_cast<uint8_t *>(part)),
                        Schedule(ctx, i));
}

// A block as the DES library sees it: two words, each loaded little-endian.
inline DES_LONG Load32(const uint8_t *p) {
  return LoadLe32(p);
}

inline void Store32(uint8_t *p, DES_LONG v) {
  StoreLe32(p, static_cast<uint32_t>(v));
}

inline void LoadBlock(DES_LONG block[2], const uint8_t *p) {
  block[0] = Load32(p);
  block[1] = Load32(p + 4);
}

inline void StoreBlock(uint8_t *p, const DES_LONG block[2]) {
  Store32(p, block[0]);
  Store32(p + 4, block[1]);
}

// C = E_K3(D_K2(E_K1(P)))
inline void EncryptBlock(const TripleDesContext *ctx, DES_LONG block[2]) {
  DES_encrypt3(block, Schedule(ctx, 0), Schedule(ctx, 1), Schedule(ctx, 2));
}

// P = D_K1(E_K2(D_K3(C)))
inline void DecryptBlock(const TripleDesContext *ctx, DES_LONG block[2]) {
  DES_decrypt3(block, Schedule(ctx, 0), Schedule(ctx, 1), Schedule(ctx, 2));
}

enum class StreamMode { kCfbEncrypt, kCfbDecrypt, kOfb };

// The three stream modes share their shape: use up the pending keystream
// bytes of the vector, then run whole and partial blocks.
void StreamCipher(StreamMode mode, const TripleDesContext *ctx, uint8_t vector[8],
                  int32_t *position, uint8_t *data, int32_t len) {
  int32_t n = *position;
  // Only 0 to 8 can come from this code; anything else would index outside
  // the vector, so it is read as "nothing pending".
  if (n < 0 || n > 8) n = 0;
  if (n != 0 && len > 0) {
    int32_t k = 8 - n < len ? 8 - n : len;
    for (int32_t i = 0; i < k; ++i) {
      uint8_t in = data[i];
      data[i] = static_cast<uint8_t>(in ^ vector[n + i]);
      if (mode == StreamMode::kCfbEncrypt) vector[n + i] = data[i];
      if (mode == StreamMode::kCfbDecrypt) vector[n + i] = in;
    }
    data += k;
    len -= k;
    n += k;
  }
  if (len <= 0) {
    *position = n % 8;
    return;
  }

  DES_LONG v[2];
  DES_LONG d[2];
  LoadBlock(v, vector);
  while (len >= 8) {
    EncryptBlock(ctx, v);
    LoadBlock(d, data);
    DES_LONG out0 = d[0] ^ v[0];
    DES_LONG out1 = d[1] ^ v[1];
    Store32(data, out0);
    Store32(data + 4, out1);
    if (mode == StreamMode::kCfbEncrypt) {
      v[0] = out0;
      v[1] = out1;
    } else if (mode == StreamMode::kCfbDecrypt) {
      v[0] = d[0];
      v[1] = d[1];
    }
    data += 8;
    len -= 8;
    n = 8;
  }
  if (len > 0) {
    EncryptBlock(ctx, v);
    StoreBlock(vector, v);
    uint8_t kept[8];
    for (int32_t i = 0; i < len; ++i) {
      kept[i] = data[i];
      data[i] = static_cast<uint8_t>(data[i] ^ vector[i]);
      if (mode == StreamMode::kCfbEncrypt) vector[i] = data[i];
      if (mode == StreamMode::kCfbDecrypt) vector[i] = kept[i];
    }
    n = len;
    SecureWipe(kept, sizeof kept);
  } else {
    StoreBlock(vector, v);
  }
  *position = n % 8;
  SecureWipe(v, sizeof v);
  SecureWipe(d, sizeof d);
}

}  // namespace

int32_t TripleDesSetKey(uint8_t *key, int32_t key_len, TripleDesContext *ctx) {
  SetOddParity(key);
  if (!KeyPartAccepted(key)) return CIPHER_E_KEY;
  BuildSchedule(key, ctx, 0);

  SetOddParity(key + 8);
  if (!KeyPartAccepted(key + 8)) return CIPHER_E_KEY;
  BuildSchedule(key + 8, ctx, 1);

  if (key_len == 24) {
    SetOddParity(key + 16);
    if (!KeyPartAccepted(key + 16)) return CIPHER_E_KEY;
    BuildSchedule(key + 16, ctx, 2);
  } else {
    if (!KeyPartAccepted(key)) return CIPHER_E_KEY;
    BuildSchedule(key, ctx, 2);
  }
  return 0;
}

int32_t TripleDesEcbEncrypt(const TripleDesContext *ctx, uint8_t *data, int32_t len) {
  if (len % 8 != 0) return CIPHER_E_LENGTH;
  DES_LONG block[2];
  for (int32_t i = 0; i < len; i += 8) {
    LoadBlock(block, data + i);
    EncryptBlock(ctx, block);
    StoreBlock(data + i, block);
  }
  SecureWipe(block, sizeof block);
  return 0;
}

int32_t TripleDesEcbDecrypt(const TripleDesContext *ctx, uint8_t *data, int32_t len) {
  if (len % 8 != 0) return CIPHER_E_LENGTH;
  DES_LONG block[2];
  for (int32_t i = 0; i < len; i += 8) {
    LoadBlock(block, data + i);
    DecryptBlock(ctx, block);
    StoreBlock(data + i, block);
  }
  SecureWipe(block, sizeof block);
  return 0;
}

int32_t TripleDesCbcEncrypt(const TripleDesContext *ctx, uint8_t vector[8], uint8_t *data,
                            int32_t len) {
  if (len % 8 != 0) return CIPHER_E_LENGTH;
  if (len <= 0) return 0;
  DES_LONG v[2];
  LoadBlock(v, vector);
  for (int32_t i = 0; i < len; i += 8) {
    v[0] ^= Load32(data + i);
    v[1] ^= Load32(data + i + 4);
    EncryptBlock(ctx, v);
    StoreBlock(data + i, v);
  }
  StoreBlock(vector, v);
  SecureWipe(v, sizeof v);
  return 0;
}

int32_t TripleDesCbcDecrypt(const TripleDesContext *ctx, uint8_t vector[8], uint8_t *data,
                            int32_t len) {
  if (len % 8 != 0) return CIPHER_E_LENGTH;
  if (len <= 0) return 0;
  DES_LONG v[2];
  DES_LONG kept[2];
  DES_LONG block[2];
  LoadBlock(v, vector);
  for (int32_t i = 0; i < len; i += 8) {
    LoadBlock(kept, data + i);
    block[0] = kept[0];
    block[1] = kept[1];
    DecryptBlock(ctx, block);
    Store32(data + i, block[0] ^ v[0]);
    Store32(data + i + 4, block[1] ^ v[1]);
    v[0] = kept[0];
    v[1] = kept[1];
  }
  StoreBlock(vector, v);
  SecureWipe(v, sizeof v);
  SecureWipe(kept, sizeof kept);
  SecureWipe(block, sizeof block);
  return 0;
}

int32_t TripleDesCfb64Encrypt(const TripleDesContext *ctx, uint8_t vector[8], int32_t *position,
                              uint8_t *data, int32_t len) {
  StreamCipher(StreamMode::kCfbEncrypt, ctx, vector, position, data, len);
  return 0;
}

int32_t TripleDesCfb64Decrypt(const TripleDesContext *ctx, uint8_t vector[8], int32_t *position,
                              uint8_t *data, int32_t len) {
  StreamCipher(StreamMode::kCfbDecrypt, ctx, vector, position, data, len);
  return 0;
}

int32_t TripleDesOfb64(const TripleDesContext *ctx, uint8_t vector[8], int32_t *position,
                       uint8_t *data, int32_t len) {
  StreamCipher(StreamMode::kOfb, ctx, vector, position, data, len);
  return 0;
}

}  // namespace obkey

// MD5 (RFC 1321).
#ifndef OBKEY_CRYPTO_MD5_H
#define OBKEY_CRYPTO_MD5_H

#include <cstdint>

namespace obkey {

struct Md5Context {
  uint32_t state[4];   // chaining values A, B, C, D
  uint32_t count[2];   // message length in bits modulo 2^64, low word first
  uint8_t buffer[64];  // unprocessed tail: (count[0] / 8) % 64 bytes
};

void Md5Init(Md5Context *ctx);
// Md5Update absorbs |len| bytes; whole blocks are hashed straight from |data|.
void Md5Update(Md5Context *ctx, const uint8_t *data, uint32_t len);
// Md5Final writes the 16-byte digest and then zeroes all of |ctx|; the
// context must be started again before it is reused.
void Md5Final(uint8_t digest[16], Md5Context *ctx);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_MD5_H

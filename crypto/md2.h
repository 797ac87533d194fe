// MD2 (RFC 1319).
#ifndef OBKEY_CRYPTO_MD2_H
#define OBKEY_CRYPTO_MD2_H

#include <cstdint>

namespace obkey {

struct Md2Context {
  uint8_t state[16];
  uint8_t checksum[16];
  uint32_t count;  // bytes held in buffer, 0 to 15
  uint8_t buffer[16];
};

void Md2Init(Md2Context *ctx);
void Md2Update(Md2Context *ctx, const uint8_t *data, uint32_t len);
// Md2Final writes the 16-byte digest and then zeroes all of |ctx|.
void Md2Final(uint8_t digest[16], Md2Context *ctx);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_MD2_H

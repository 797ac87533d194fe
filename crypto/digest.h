// The digest dispatcher: MD2 or MD5 chosen by an algorithm number.
#ifndef OBKEY_CRYPTO_DIGEST_H
#define OBKEY_CRYPTO_DIGEST_H

#include <cstdint>

#include "md2.h"
#include "md5.h"
#include "status.h"

namespace obkey {

constexpr int32_t DIGEST_MD2 = 3;
constexpr int32_t DIGEST_MD5 = 5;

struct DigestContext {
  int32_t algorithm;  // DIGEST_MD2 or DIGEST_MD5
  union {
    Md2Context md2;
    Md5Context md5;
  } state;
};

// DigestInit stores |algorithm| in |ctx| and starts MD2 or MD5. Returns 0, or
// CRYPTO_E_DIGEST_ALG for any other number (which is stored all the same).
int32_t DigestInit(DigestContext *ctx, int32_t algorithm);
// DigestUpdate absorbs with MD2 when the stored number is DIGEST_MD2 and with
// MD5 otherwise. Returns 0.
int32_t DigestUpdate(DigestContext *ctx, const uint8_t *data, uint32_t len);
// DigestFinal sets |*digest_len| to 16, writes the 16-byte digest and wipes
// the algorithm state. Returns 0.
int32_t DigestFinal(DigestContext *ctx, uint8_t digest[16], uint32_t *digest_len);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_DIGEST_H

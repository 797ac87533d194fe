#include "digest.h"

namespace obkey {

int32_t DigestInit(DigestContext *ctx, int32_t algorithm) {
  ctx->algorithm = algorithm;
  switch (algorithm) {
    case DIGEST_MD2:
      Md2Init(&ctx->state.md2);
      return 0;
    case DIGEST_MD5:
      Md5Init(&ctx->state.md5);
      return 0;
    default:
      return CRYPTO_E_DIGEST_ALG;
  }
}

int32_t DigestUpdate(DigestContext *ctx, const uint8_t *data, uint32_t len) {
  if (ctx->algorithm == DIGEST_MD2) {
    Md2Update(&ctx->state.md2, data, len);
  } else {
    Md5Update(&ctx->state.md5, data, len);
  }
  return 0;
}

int32_t DigestFinal(DigestContext *ctx, uint8_t digest[16], uint32_t *digest_len) {
  *digest_len = 16;
  if (ctx->algorithm == DIGEST_MD2) {
    Md2Final(digest, &ctx->state.md2);
  } else {
    Md5Final(digest, &ctx->state.md5);
  }
  return 0;
}

}  // namespace obkey

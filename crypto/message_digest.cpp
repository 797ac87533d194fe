#include "message_digest.h"

#include "digest.h"
#include "sha1.h"
#include "size_query.h"
#include "wipe.h"

namespace obkey {

int32_t DigestMessage(uint8_t *out, uint32_t *out_len, const uint8_t *in, uint32_t in_len,
                      uint32_t alg_id) {
  uint32_t digest_len;
  if (alg_id == kDigestAlgMd5) {
    digest_len = 16;
  } else if (alg_id == kDigestAlgSha1) {
    digest_len = 20;
  } else {
    return kDigestBadAlgorithm;
  }
  if (out_len == nullptr) return kDigestBadArgument;
  // The size query answers before the message is looked at.
  if (AnswerSizeQuery(out, out_len, digest_len)) return 0;
  if (in == nullptr && in_len != 0) return kDigestBadArgument;

  // The primitives' statuses cannot fail here: every pointer was checked.
  if (alg_id == kDigestAlgMd5) {
    DigestContext ctx;
    uint32_t written;
    DigestInit(&ctx, DIGEST_MD5);
    DigestUpdate(&ctx, in, in_len);
    DigestFinal(&ctx, out, &written);
  } else {
    Sha1Context ctx;
    Sha1Init(&ctx);
    Sha1Update(&ctx, in, in_len);
    Sha1Final(&ctx, out);
    SecureWipe(&ctx, sizeof ctx);
  }
  *out_len = digest_len;
  return 0;
}

}  // namespace obkey

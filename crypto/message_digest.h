// The body of the exported OB_Digest: one complete message digested with MD5
// or SHA-1, chosen by a CryptoAPI algorithm identifier.
#ifndef OBKEY_CRYPTO_MESSAGE_DIGEST_H
#define OBKEY_CRYPTO_MESSAGE_DIGEST_H

#include <cstdint>

#include "obkey_types.h"

namespace obkey {

// The identifiers DigestMessage accepts and its refusal statuses: the
// interface's values.
constexpr uint32_t kDigestAlgMd5 = CALG_MD5;
constexpr uint32_t kDigestAlgSha1 = CALG_SHA1;
constexpr int32_t kDigestBadAlgorithm = OB_NTE_BAD_ALGID;
// A missing length pointer, or a null message with a nonzero length.
constexpr int32_t kDigestBadArgument = OB_E_ARGUMENT;

// DigestMessage digests |in_len| bytes at |in| with the algorithm |alg_id|.
// An unknown identifier returns kDigestBadAlgorithm and writes nothing,
// |*out_len| included. When |out| is null or |*out_len| is below the digest
// length (16 or 20), the length is stored in |*out_len|, nothing is digested
// and 0 is returned: this is how a caller asks for the size. Otherwise the
// digest is written to |out|, |*out_len| is set to its length and 0 returned.
int32_t DigestMessage(uint8_t *out, uint32_t *out_len, const uint8_t *in, uint32_t in_len,
                      uint32_t alg_id);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_MESSAGE_DIGEST_H

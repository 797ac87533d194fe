// Symmetric keys out as key blobs: a 12-byte CryptoAPI SIMPLEBLOB-style
// header, then the key plain, wrapped under the token's exchange key, or
// wrapped in software under a caller's RSA public key.
#ifndef OBKEY_SYMKEY_KEY_EXPORT_H
#define OBKEY_SYMKEY_KEY_EXPORT_H

#include <stdint.h>

#include "obkey_types.h"

namespace obkey {

inline constexpr uint32_t TOKEN_WRAP_LEN = OB_RSA_BLOCK_LEN;
inline constexpr uint32_t TOKEN_WRAP_PAD_RANDOM_LEN = 16;
inline constexpr uint32_t KEY_BLOB_HEADER_LEN = OB_KEY_BLOB_HEADER_LEN;
inline constexpr uint32_t kTokenSeedLen = 256;

// KeyBlobHeader, little-endian on the wire: blob type 1, version 2, two
// reserved bytes, the key's algorithm id, the wrapping algorithm id.
struct KeyBlobHeader {
  uint32_t key_alg_id;
  uint32_t wrap_alg_id;
  void WriteTo(uint8_t *out) const;
};

// BuildTokenWrapBlock lays out the 128-byte PKCS #1 type-2 block of the
// token path for a key of key_len bytes (at most 117): the padding repeats
// the 16 random bytes from position 2 on (R[i mod 16], a zero shown as
// 0xFF), then a zero byte, then the key.
void BuildTokenWrapBlock(const uint8_t *key, uint32_t key_len,
                         const uint8_t random[TOKEN_WRAP_PAD_RANDOM_LEN],
                         uint8_t out_block[TOKEN_WRAP_LEN]);

// ExportSymmetricKey writes the key blob into `inout_blob` (a null or short
// buffer asks for the size, reported in cbData):
// - no wrapping key: plain, 12 + key bytes;
// - a key name whose last backslash is followed by a character and '1':
//   wrapped by the token's exchange key, 140 bytes;
// - otherwise the wrapping key's bytes are an RsaPublicKey record: wrapped
//   in software, 12 + modulus bytes.
// -1 for a missing key or blob, a key too long for its wrapping, a key name
// of another pair ("\02"), or a public key that cannot wrap; a failed token
// draw or token encryption returns its status.
int32_t ExportSymmetricKey(const DataBlob *key, const DataBlob *wrapping_key, DataBlob *inout_blob,
                           uint32_t alg_id);

}  // namespace obkey

#endif  // OBKEY_SYMKEY_KEY_EXPORT_H

// Software symmetric keys: generation from the token's random numbers,
// import from a key blob, and the fixed properties of token key pairs.
#ifndef OBKEY_SYMKEY_KEY_LIFECYCLE_H
#define OBKEY_SYMKEY_KEY_LIFECYCLE_H

#include <stdint.h>

#include "obkey_types.h"

namespace obkey {

inline constexpr uint32_t kTripleDesKeyBytesGenerated = 24;

// GenerateSymmetricKey fills the key's buffer from the token's generator:
// cbData bytes for RC4 and id 9, 24 bytes for triple DES (cbData is left as
// the caller set it: 24 three-key, 16 two-key). Records the key on success.
// -1 for another algorithm or a key without a buffer; a failed draw returns
// its status and records nothing.
int32_t GenerateSymmetricKey(uint32_t alg_id, DataBlob *key);

// ImportSymmetricKey takes the key bytes after the 12-byte blob header,
// unexamined. With a null key buffer it only reports their number in cbData.
// 1 when the blob is missing or not longer than the header, the key record
// is null, or the algorithm is not RC4, triple DES or id 9.
int32_t ImportSymmetricKey(const DataBlob *key_blob, uint32_t alg_id, DataBlob *out_key);

// GetKeyProperty answers the padding, permissions, algorithm and block
// length of the token pair that `key_name` names (4-byte little-endian
// values; a short or null buffer gets the size 4). Other properties write
// nothing. -1 for a key name without a backslash or, for the algorithm, one
// whose second suffix character is not 1 to 4.
int32_t GetKeyProperty(const DataBlob *key_name, uint32_t property, uint8_t *out,
                       uint32_t *inout_len);

}  // namespace obkey

#endif  // OBKEY_SYMKEY_KEY_LIFECYCLE_H

// Encryption and decryption in software with a caller's symmetric key:
// triple DES in four CryptoAPI modes, or RC4. Every call starts afresh (zero
// vector, fresh keystream) and adds no padding: out is as long as in.
#ifndef OBKEY_SYMKEY_SYMMETRIC_CIPHER_H
#define OBKEY_SYMKEY_SYMMETRIC_CIPHER_H

#include <stdint.h>

#include "obkey_types.h"

namespace obkey {

enum class CipherDirection { kEncrypt, kDecrypt };

// SymmetricCrypt runs `alg_id` (and, for triple DES, `mode` 1 CBC, 2 ECB,
// 3 OFB, 4 CFB) over in_len bytes into `out`. A null `out` or a capacity
// below in_len asks for the size: *inout_out_len becomes in_len, status 0.
// Triple DES adjusts the caller's key to odd parity in place and sets
// *inout_out_len to in_len; RC4 leaves it as given.
//
// Returns -1 for another algorithm, algorithm id 9 (no cipher stands behind
// it), a triple-DES mode other than 1 to 4, a null length, or a key record
// that is null, has no bytes or is too short for its cipher (triple DES below
// 16 bytes, RC4 of none); CIPHER_E_KEY for a weak DES key part;
// CIPHER_E_LENGTH for ECB or CBC data whose length is not a multiple of 8
// (out then holds the unchanged copy of in).
int32_t SymmetricCrypt(CipherDirection direction, DataBlob *key, const uint8_t *in, uint32_t in_len,
                       uint8_t *out, uint32_t *inout_out_len, uint32_t alg_id, uint32_t mode);

}  // namespace obkey

#endif  // OBKEY_SYMKEY_SYMMETRIC_CIPHER_H

// RSA operations with the keys held on the token: one call, one token
// operation on one 128-byte block. The token does the cryptography.
#ifndef OBKEY_TOKEN_ASYMMETRIC_H
#define OBKEY_TOKEN_ASYMMETRIC_H

#include <stdint.h>

namespace obkey {

// AsymmetricEncrypt encrypts with the exchange container's key. A null
// output asks for the size: *inout_out_len becomes 128 and nothing else
// happens. Returns -1 without a token operation when the container holds no
// key pair.
int32_t AsymmetricEncrypt(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in, uint32_t in_len,
                          uint32_t alg_id);

// AsymmetricDecrypt decrypts with the container that `alg_id` selects
// (CALG_RSA_SIGN signature, CALG_RSA_KEYX exchange; others -1). The output
// needs 128 bytes. Returns -1 when the container holds no key pair.
int32_t AsymmetricDecrypt(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in, uint32_t in_len,
                          uint32_t alg_id);

// AsymmetricSign signs `data` with the signature container's key into a
// 128-byte signature. Returns -1 when the container holds no key pair.
int32_t AsymmetricSign(const uint8_t *data, uint32_t data_len, uint8_t *out_signature,
                       uint32_t *inout_signature_len);

// AsymmetricVerify runs the public-key operation of the signature
// container's key over `signature` and returns the resulting block; the
// caller compares it. Returns -1 when the container holds no key pair.
int32_t AsymmetricVerify(uint8_t *out_block, uint32_t *inout_block_len, const uint8_t *signature,
                         uint32_t signature_len);

}  // namespace obkey

#endif  // OBKEY_TOKEN_ASYMMETRIC_H

// token_output.h — how both token libraries hand bytes back through a
// caller's buffer: the size check with its statuses, the copy, and the
// answer of a decryption or signature check. The PKCS #11 token library
// shares these statuses with the software token, so one rule serves both.
#ifndef OBKEY_TOKENRULES_TOKEN_OUTPUT_H
#define OBKEY_TOKENRULES_TOKEN_OUTPUT_H

#include <cstddef>
#include <cstdint>

#include "rsa_padding.h"

namespace obkey {

// ReserveOutput checks a caller's output buffer for `needed` bytes. Returns
// 0 when it fits; otherwise stores `needed` in `*inout_len` and returns
// XCST_BUFFER_TOO_SMALL (XCST_BAD_ARGUMENT if `inout_len` is null). Nothing
// is written to `out` either way.
int32_t ReserveOutput(uint32_t needed, const uint8_t *out, uint32_t *inout_len);

// WriteOutput copies `len` bytes to `out` after ReserveOutput and sets
// `*inout_len` to `len`.
int32_t WriteOutput(const uint8_t *data, size_t len, uint8_t *out, uint32_t *inout_len);

// WritePublicKeyRecord writes the 135-byte public-key record of
// XC_ReadRSAPubKey after ReserveOutput: the bit length (4 bytes,
// big-endian, 1024), the public exponent (3 bytes, big-endian, from
// `exponent` of 1 to 3 bytes without leading zeros) and the modulus (128
// bytes, big-endian) at offset 7.
int32_t WritePublicKeyRecord(const RsaBlock &modulus, const uint8_t *exponent, size_t exponent_len,
                             uint8_t *out, uint32_t *inout_len);

// WriteUnpadded writes PayloadOrBlock(type, block).
int32_t WriteUnpadded(Pkcs1BlockType type, const RsaBlock &block, uint8_t *out,
                      uint32_t *inout_len);

}  // namespace obkey

#endif  // OBKEY_TOKENRULES_TOKEN_OUTPUT_H

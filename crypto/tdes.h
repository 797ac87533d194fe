// Two- and three-key triple DES (encrypt-decrypt-encrypt) in ECB, CBC, 64-bit
// CFB and 64-bit OFB. Every operation works in place on the caller's buffer;
// the vector and the keystream position live in the caller's storage too.
#ifndef OBKEY_CRYPTO_TDES_H
#define OBKEY_CRYPTO_TDES_H

#include <cstdint>

#include "status.h"

namespace obkey {

// TripleDesContext holds the DES key schedules K1, K2 and K3, each in the
// layout of OpenSSL's DES_key_schedule (16 rounds of two 32-bit words).
struct TripleDesContext {
  uint32_t schedule[3][32];
};

// TripleDesSetKey fills |ctx| from |key|: bytes 0-7 are K1, 8-15 are K2 and,
// when |key_len| is exactly 24, bytes 16-23 are K3; for any other length K3 is
// K1 again. Each key part is set to odd parity in the caller's buffer before
// it is checked, and stays so whatever the outcome. Returns 0, or CIPHER_E_KEY
// for the first part whose first four bytes match a weak or semi-weak DES key;
// the schedules of that part and the parts after it are then left unbuilt and
// |ctx| must not be used.
int32_t TripleDesSetKey(uint8_t *key, int32_t key_len, TripleDesContext *ctx);

// ECB and CBC: |len| must be a multiple of 8, otherwise CIPHER_E_LENGTH is
// returned and neither the data nor the vector changes.
int32_t TripleDesEcbEncrypt(const TripleDesContext *ctx, uint8_t *data, int32_t len);
int32_t TripleDesEcbDecrypt(const TripleDesContext *ctx, uint8_t *data, int32_t len);
int32_t TripleDesCbcEncrypt(const TripleDesContext *ctx, uint8_t vector[8], uint8_t *data,
                            int32_t len);
int32_t TripleDesCbcDecrypt(const TripleDesContext *ctx, uint8_t vector[8], uint8_t *data,
                            int32_t len);

// CFB64 and OFB64 accept any length and always return 0. |position| counts
// the bytes of the current keystream block (the vector) already used: 0 to 8
// on entry (0 and 8 both mean none pending), 0 to 7 on return, so that a
// later call continues the stream where this one stopped.
int32_t TripleDesCfb64Encrypt(const TripleDesContext *ctx, uint8_t vector[8], int32_t *position,
                              uint8_t *data, int32_t len);
int32_t TripleDesCfb64Decrypt(const TripleDesContext *ctx, uint8_t vector[8], int32_t *position,
                              uint8_t *data, int32_t len);
// TripleDesOfb64 serves both directions.
int32_t TripleDesOfb64(const TripleDesContext *ctx, uint8_t vector[8], int32_t *position,
                       uint8_t *data, int32_t len);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_TDES_H

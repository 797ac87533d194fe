#include "symmetric_cipher.h"

#define OPENSSL_SUPPRESS_DEPRECATED  // the RC4 keystream itself, without a provider
#include <openssl/rc4.h>

#include <climits>
#include <cstring>

#include "tdes.h"
#include "wipe.h"

namespace obkey {

namespace {

constexpr uint32_t kTripleDesMinKeyLen = 16;

bool KeyFitsCipher(const DataBlob *key, uint32_t alg_id) {
  if (key == nullptr || key->pbData == nullptr) return false;
  if (alg_id == CALG_3DES) return key->cbData >= kTripleDesMinKeyLen;
  if (alg_id == CALG_RC4) return key->cbData >= 1 && key->cbData <= INT_MAX;
  return true;
}

bool IsTripleDesMode(uint32_t mode) {
  return mode >= CRYPT_MODE_CBC && mode <= CRYPT_MODE_CFB;
}

void Rc4(const DataBlob &key, const uint8_t *in, uint32_t in_len, uint8_t *out) {
  RC4_KEY state;
  RC4_set_key(&state, static_cast<int>(key.cbData), key.pbData);
  RC4(&state, in_len, in, out);
  SecureWipe(&state, sizeof(state));
}

int32_t RunTripleDesMode(CipherDirection direction, const TripleDesContext &context, uint32_t mode,
                         uint8_t *data, int32_t len) {
  uint8_t vector[8] = {};
  int32_t position = 0;
  bool encrypt = direction == CipherDirection::kEncrypt;
  int32_t status = OB_OK;
  switch (mode) {
    case CRYPT_MODE_CBC:
      status = encrypt ? TripleDesCbcEncrypt(&context, vector, data, len)
                       : TripleDesCbcDecrypt(&context, vector, data, len);
      break;
    case CRYPT_MODE_ECB:
      status = encrypt ? TripleDesEcbEncrypt(&context, data, len)
                       : TripleDesEcbDecrypt(&context, data, len);
      break;
    case CRYPT_MODE_OFB:
      status = TripleDesOfb64(&context, vector, &position, data, len);
      break;
    default:  // CRYPT_MODE_CFB
      status = encrypt ? TripleDesCfb64Encrypt(&context, vector, &position, data, len)
                       : TripleDesCfb64Decrypt(&context, vector, &position, data, len);
      break;
  }
  SecureWipe(vector, sizeof(vector));
  return status;
}

int32_t TripleDes(CipherDirection direction, DataBlob *key, const uint8_t *in, uint32_t in_len,
                  uint8_t *out, uint32_t *inout_out_len, uint32_t mode) {
  TripleDesContext context;
  // A length other than 24 means two-key triple DES, so clamp rather than
  // let a huge count turn negative.
  int32_t key_len = key->cbData > INT32_MAX ? INT32_MAX : static_cast<int32_t>(key->cbData);
  int32_t status = TripleDesSetKey(key->pbData, key_len, &context);
  if (status != OB_OK) {
    SecureWipe(&context, sizeof(context));
    return status;
  }
  if (in_len != 0) std::memcpy(out, in, in_len);
  *inout_out_len = in_len;
  status = RunTripleDesMode(direction, context, mode, out, static_cast<int32_t>(in_len));
  SecureWipe(&context, sizeof(context));
  return status;
}

}  // namespace

int32_t SymmetricCrypt(CipherDirection direction, DataBlob *key, const uint8_t *in, uint32_t in_len,
                       uint8_t *out, uint32_t *inout_out_len, uint32_t alg_id, uint32_t mode) {
  if (alg_id != CALG_RC4 && alg_id != CALG_3DES && alg_id != OB_ALG_KEY_AREA) {
    return OB_E_ARGUMENT;
  }
  if (inout_out_len == nullptr || !KeyFitsCipher(key, alg_id)) return OB_E_ARGUMENT;
  if (alg_id == CALG_3DES && !IsTripleDesMode(mode)) return OB_E_ARGUMENT;
  if (out == nullptr || *inout_out_len < in_len) {
    *inout_out_len = in_len;
    return OB_OK;
  }
  // Id 9 is accepted as far as the size check, but no cipher stands behind
  // it: succeeding without output would hide that.
  if (alg_id == OB_ALG_KEY_AREA) return OB_E_ARGUMENT;
  if ((in == nullptr && in_len != 0) || in_len > INT32_MAX) return OB_E_ARGUMENT;
  if (alg_id == CALG_RC4) {
    if (in_len != 0) Rc4(*key, in, in_len, out);
    return OB_OK;
  }
  return TripleDes(direction, key, in, in_len, out, inout_out_len, mode);
}

}  // namespace obkey

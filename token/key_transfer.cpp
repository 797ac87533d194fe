#include "key_transfer.h"

#include <openssl/crypto.h>

#include <cstring>

#include "key_names.h"
#include "log_text.h"
#include "pvk_blob.h"
#include "secret_array.h"
#include "size_query.h"
#include "token_session.h"
#include "xcsp_eclib.h"

namespace obkey {

namespace {

// The public-key blob header: PUBLICKEYBLOB, version 2, CALG_RSA_KEYX,
// "RSA1", 1024 bits, exponent 65537.
constexpr uint8_t kPublicKeyBlobHeader[20] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00,
                                              0x00, 0x52, 0x53, 0x41, 0x31, 0x00, 0x04,
                                              0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
constexpr size_t kModulusLen = OB_RSA_BLOCK_LEN;
// Room for whatever the token library writes for a raw public key.
constexpr uint32_t kRawPublicKeyCapacity = 512;

bool HasBytes(const DataBlob *record) {
  return record != nullptr && record->pbData != nullptr && record->cbData != 0;
}

void WritePublicKeyBlob(const uint8_t *raw_public_key, uint8_t *out_blob) {
  std::memcpy(out_blob, kPublicKeyBlobHeader, sizeof(kPublicKeyBlobHeader));
  const uint8_t *modulus = raw_public_key + XC_PUBKEY_MODULUS_OFFSET;
  for (size_t i = 0; i < kModulusLen; ++i) {
    out_blob[sizeof(kPublicKeyBlobHeader) + i] = modulus[kModulusLen - 1 - i];
  }
}

// SelectContainerOfKeyType logs around the selection as the key imports do;
// a key type other than 1 or 2 is -1 without those entries.
int32_t SelectContainerOfKeyType(XcHandle session, uint32_t key_type, XcHandle *out_container) {
  if (key_type != OB_KEY_TYPE_EXCHANGE && key_type != OB_KEY_TYPE_SIGNATURE) return OB_E_ARGUMENT;
  LogText("XC_SetCurContainer --------  Begin\n");
  int32_t status = XC_SetCurContainer(session, SlotOfKeyType(key_type), out_container);
  LogText("XC_SetCurContainer --------  end\n");
  return status;
}

// Wipes the DER private key however the import ends.
using DerKeyBuffer = SecretArray<kPvkDerCapacity>;

}  // namespace

int32_t ExportPublicKey(const DataBlob *key_name, DataBlob *inout_blob) {
  if (inout_blob == nullptr) return OB_E_ARGUMENT;
  // A buffer too small for the blob is a size query, never an overrun.
  if (AnswerSizeQuery(inout_blob->pbData, &inout_blob->cbData, OB_PUBLIC_KEY_BLOB_LEN)) {
    return OB_OK;
  }
  char digit = 0;
  if (key_name == nullptr ||
      !KeyNameDigit(reinterpret_cast<const char *>(key_name->pbData), &digit)) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  uint32_t key_type = PairOfDigit(digit);
  if (key_type == 0) return OB_E_ARGUMENT;
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), SlotOfKeyType(key_type), &container);
  if (status != 0) return status;
  uint8_t raw_public_key[kRawPublicKeyCapacity] = {};
  uint32_t raw_len = sizeof(raw_public_key);
  status = XC_ReadRSAPubKey(container, raw_public_key, &raw_len, key_type);
  if (status != 0) return status;
  session.Close();
  WritePublicKeyBlob(raw_public_key, inout_blob->pbData);
  inout_blob->cbData = OB_PUBLIC_KEY_BLOB_LEN;
  return OB_OK;
}

int32_t ImportPublicKey(const DataBlob *public_key, uint32_t key_type) {
  LogText("OB_ImportPublicKey --------  Begin\n");
  if (!HasBytes(public_key)) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) {
    LogText("XC_DisconnectEkey --------  Begin\n");
    session.Close();
    LogText("XC_DisconnectEkey --------  end\n");
    return session.open_status();
  }
  XcHandle container = 0;
  int32_t status = SelectContainerOfKeyType(session.handle(), key_type, &container);
  if (status != 0) {
    LogText("XC_SetCurContainer --------  fail--\n");
    return status;
  }
  session.Close();
  LogText("OB_ImportPublicKey --------  End\n");
  return OB_OK;
}

int32_t ImportPrivateKey(const void *handle, const DataBlob *private_key_blob, uint32_t key_type) {
  LogText("OB_ImportPrivateKey --------  Begin\n");
  if (!HasBytes(private_key_blob) || handle == nullptr) return OB_E_ARGUMENT;
  LogText("PvkBlobASN1Encode --------  Begin\n");
  DerKeyBuffer der;
  uint32_t der_len = 0;
  PvkBlobASN1Encode(private_key_blob->pbData, private_key_blob->cbData, &der_len, der.data());
  LogText("PvkBlobASN1Encode --------  end\n");
  if (der_len == 0) {
    LogText("PvkBlobASN1Encode --------  fail\n");
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  XcHandle container = 0;
  int32_t status = SelectContainerOfKeyType(session.handle(), key_type, &container);
  if (status != 0) return status;
  LogText("XC_WriteRSAKey --------  begin\n");
  status = XC_WriteRSAKey(
      container, 0, 0, der.data(), der_len,
      key_type == OB_KEY_TYPE_EXCHANGE ? OB_KEY_TYPE_EXCHANGE : OB_KEY_TYPE_SIGNATURE);
  LogText("XC_WriteRSAKey --------  end\n");
  session.Close();
  LogText("OB_ImportPrivateKey --------  end\n");
  return status;
}

}  // namespace obkey

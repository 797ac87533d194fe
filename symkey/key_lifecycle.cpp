#include "key_lifecycle.h"

#include <cstring>

#include "byte_order.h"
#include "containers.h"
#include "key_names.h"
#include "key_table.h"
#include "size_query.h"
#include "wipe.h"

namespace obkey {

namespace {

constexpr size_t kTripleDesDrawLen = 8;
constexpr uint32_t kPropertyValueLen = 4;
constexpr uint32_t kPkcs5Padding = 1;
constexpr uint32_t kEncryptDecryptExport = 7;
constexpr uint32_t kTokenBlockBits = 1024;

bool IsSymmetricAlgorithm(uint32_t alg_id) {
  return alg_id == CALG_RC4 || alg_id == CALG_3DES || alg_id == OB_ALG_KEY_AREA;
}

// Draws the 24 bytes of a triple-DES key eight at a time.
int32_t DrawTripleDesKey(uint8_t *out_key) {
  uint8_t part[kTripleDesDrawLen];
  int32_t status = OB_OK;
  for (size_t offset = 0; offset < kTripleDesKeyBytesGenerated; offset += sizeof(part)) {
    DataBlob draw{sizeof(part), part};
    status = GenerateRandom(&draw);
    if (status != OB_OK) break;
    std::memcpy(out_key + offset, part, sizeof(part));
  }
  SecureWipe(part, sizeof(part));
  return status;
}

// The value of a fixed property; false for an algorithm query on a key name
// whose suffix names no pair.
bool PropertyValue(uint32_t property, const char *key_name, uint32_t *out_value) {
  switch (property) {
    case KP_PADDING:
      *out_value = kPkcs5Padding;
      return true;
    case KP_PERMISSIONS:
      *out_value = kEncryptDecryptExport;
      return true;
    case KP_BLOCKLEN:
      *out_value = kTokenBlockBits;
      return true;
    default:  // KP_ALGID
      break;
  }
  char digit = 0;
  uint32_t key_type = KeyNameDigit(key_name, &digit) ? PairOfDigit(digit) : 0;
  if (key_type == 0) return false;
  *out_value = key_type == OB_KEY_TYPE_EXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  return true;
}

}  // namespace

int32_t GenerateSymmetricKey(uint32_t alg_id, DataBlob *key) {
  if (!IsSymmetricAlgorithm(alg_id)) return OB_E_ARGUMENT;
  if (key == nullptr || key->pbData == nullptr) return OB_E_ARGUMENT;
  int32_t status = alg_id == CALG_3DES ? DrawTripleDesKey(key->pbData) : GenerateRandom(key);
  if (status != OB_OK) return status;
  TheSymmetricKeyTable().Append(*key);
  return OB_OK;
}

int32_t ImportSymmetricKey(const DataBlob *key_blob, uint32_t alg_id, DataBlob *out_key) {
  if (key_blob == nullptr || key_blob->pbData == nullptr ||
      key_blob->cbData <= OB_KEY_BLOB_HEADER_LEN) {
    return OB_E_KEY_IMPORT;
  }
  if (!IsSymmetricAlgorithm(alg_id) || out_key == nullptr) return OB_E_KEY_IMPORT;
  out_key->cbData = key_blob->cbData - OB_KEY_BLOB_HEADER_LEN;
  if (out_key->pbData == nullptr) return OB_OK;
  std::memcpy(out_key->pbData, key_blob->pbData + OB_KEY_BLOB_HEADER_LEN, out_key->cbData);
  TheSymmetricKeyTable().Append(*out_key);
  return OB_OK;
}

int32_t GetKeyProperty(const DataBlob *key_name, uint32_t property, uint8_t *out,
                       uint32_t *inout_len) {
  const char *name =
      key_name != nullptr ? reinterpret_cast<const char *>(key_name->pbData) : nullptr;
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '\\') == nullptr) {
    return OB_E_ARGUMENT;
  }
  if (property != KP_PADDING && property != KP_PERMISSIONS && property != KP_ALGID &&
      property != KP_BLOCKLEN) {
    return OB_OK;
  }
  if (inout_len == nullptr) return OB_E_ARGUMENT;
  if (AnswerSizeQuery(out, inout_len, kPropertyValueLen)) return OB_OK;
  uint32_t value = 0;
  if (!PropertyValue(property, name, &value)) return OB_E_ARGUMENT;
  StoreLe32(out, value);
  return OB_OK;
}

}  // namespace obkey

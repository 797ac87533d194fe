#include "key_export.h"

#include <cstring>

#include "asymmetric.h"
#include "byte_order.h"
#include "containers.h"
#include "random_source.h"
#include "rsa_public.h"
#include "size_query.h"
#include "wipe.h"

namespace obkey {

namespace {

constexpr uint8_t kSimpleBlobType = 1;
constexpr uint8_t kBlobVersion = 2;
constexpr uint32_t kPkcs1Overhead = 11;
constexpr uint32_t kTokenWrapBlobLen = KEY_BLOB_HEADER_LEN + TOKEN_WRAP_LEN;

enum class WrapPath { kPlain, kToken, kSoftware, kRefused };

// Wipes a temporary that held key material on every way out.
template <size_t N>
struct WipedBuffer {
  uint8_t bytes[N] = {};
  ~WipedBuffer() { SecureWipe(bytes, sizeof(bytes)); }
};

WrapPath ChoosePath(const DataBlob *wrapping_key) {
  if (wrapping_key == nullptr) return WrapPath::kPlain;
  const char *text = reinterpret_cast<const char *>(wrapping_key->pbData);
  if (text == nullptr || text[0] == '\0') return WrapPath::kSoftware;
  const char *backslash = std::strrchr(text, '\\');
  if (backslash == nullptr || backslash[1] == '\0') return WrapPath::kSoftware;
  if (backslash[2] == '1') return WrapPath::kToken;
  // A key name of another pair ("\02") would otherwise be read as a public
  // key record.
  if (backslash[2] != '\0' && backslash[3] == '\0') return WrapPath::kRefused;
  return WrapPath::kSoftware;
}

int32_t ExportPlain(const DataBlob &key, DataBlob *inout_blob, uint32_t alg_id) {
  if (key.cbData > UINT32_MAX - KEY_BLOB_HEADER_LEN) return OB_E_ARGUMENT;
  uint32_t need = key.cbData + KEY_BLOB_HEADER_LEN;
  if (AnswerSizeQuery(inout_blob->pbData, &inout_blob->cbData, need)) return OB_OK;
  inout_blob->cbData = need;
  KeyBlobHeader{alg_id, 0}.WriteTo(inout_blob->pbData);
  if (key.cbData != 0)
    std::memcpy(inout_blob->pbData + KEY_BLOB_HEADER_LEN, key.pbData, key.cbData);
  return OB_OK;
}

int32_t ExportWrappedByToken(const DataBlob &key, DataBlob *inout_blob, uint32_t alg_id) {
  if (AnswerSizeQuery(inout_blob->pbData, &inout_blob->cbData, kTokenWrapBlobLen)) return OB_OK;
  inout_blob->cbData = kTokenWrapBlobLen;
  KeyBlobHeader{alg_id, CALG_RSA_KEYX}.WriteTo(inout_blob->pbData);
  if (key.cbData > TOKEN_WRAP_LEN - kPkcs1Overhead) return OB_E_ARGUMENT;

  WipedBuffer<TOKEN_WRAP_PAD_RANDOM_LEN> random;
  DataBlob draw{sizeof(random.bytes), random.bytes};
  int32_t status = GenerateRandom(&draw);
  // Padding from bytes the token never delivered would not be random.
  if (status != OB_OK) return status;
  WipedBuffer<TOKEN_WRAP_LEN> block;
  BuildTokenWrapBlock(key.pbData, key.cbData, random.bytes, block.bytes);
  WipedBuffer<TOKEN_WRAP_LEN> wrapped;
  uint32_t wrapped_len = TOKEN_WRAP_LEN;
  status =
      AsymmetricEncrypt(wrapped.bytes, &wrapped_len, block.bytes, TOKEN_WRAP_LEN, CALG_RSA_KEYX);
  if (status != OB_OK) return status;
  std::memcpy(inout_blob->pbData + KEY_BLOB_HEADER_LEN, wrapped.bytes, TOKEN_WRAP_LEN);
  return OB_OK;
}

// A fresh random source seeded with 256 bytes of the token's generator.
int32_t SeedFromToken(RandomSource *out_random) {
  WipedBuffer<kTokenSeedLen> seed;
  DataBlob draw{sizeof(seed.bytes), seed.bytes};
  int32_t status = GenerateRandom(&draw);
  if (status != OB_OK) return status;
  RandomInit(out_random);
  RandomUpdate(out_random, seed.bytes, sizeof(seed.bytes));
  return OB_OK;
}

int32_t ExportWrappedInSoftware(const DataBlob &key, const DataBlob &wrapping_key,
                                DataBlob *inout_blob, uint32_t alg_id) {
  if (wrapping_key.pbData == nullptr || key.cbData == 0) return OB_E_ARGUMENT;
  // The caller's bytes may sit at any address: copy them into a record.
  RsaPublicKey public_key;
  std::memcpy(&public_key, wrapping_key.pbData, sizeof(public_key));
  if (public_key.bits == 0 || public_key.bits > RSA_MAX_MODULUS_BITS) return OB_E_ARGUMENT;
  uint32_t modulus_len = (public_key.bits + 7) / 8;
  if (key.cbData > modulus_len - kPkcs1Overhead || modulus_len < kPkcs1Overhead) {
    return OB_E_ARGUMENT;
  }
  uint32_t need = modulus_len + KEY_BLOB_HEADER_LEN;
  if (AnswerSizeQuery(inout_blob->pbData, &inout_blob->cbData, need)) return OB_OK;

  RandomSource random;
  int32_t status = SeedFromToken(&random);
  if (status != OB_OK) return status;
  WipedBuffer<RSA_MAX_MODULUS_LEN> wrapped;
  uint32_t wrapped_len = 0;
  status =
      RsaPublicEncrypt(wrapped.bytes, &wrapped_len, key.pbData, key.cbData, &public_key, &random);
  RandomFinal(&random);
  if (status != OB_OK) return OB_E_ARGUMENT;
  inout_blob->cbData = need;
  KeyBlobHeader{alg_id, CALG_RSA_KEYX}.WriteTo(inout_blob->pbData);
  std::memcpy(inout_blob->pbData + KEY_BLOB_HEADER_LEN, wrapped.bytes, modulus_len);
  return OB_OK;
}

}  // namespace

void KeyBlobHeader::WriteTo(uint8_t *out) const {
  out[0] = kSimpleBlobType;
  out[1] = kBlobVersion;
  out[2] = 0;
  out[3] = 0;
  StoreLe32(out + 4, key_alg_id);
  StoreLe32(out + 8, wrap_alg_id);
}

void BuildTokenWrapBlock(const uint8_t *key, uint32_t key_len,
                         const uint8_t random[TOKEN_WRAP_PAD_RANDOM_LEN],
                         uint8_t out_block[TOKEN_WRAP_LEN]) {
  uint32_t separator = TOKEN_WRAP_LEN - 1 - key_len;
  out_block[0] = 0x00;
  out_block[1] = 0x02;
  for (uint32_t i = 2; i < separator; ++i) {
    uint8_t pad = random[i % TOKEN_WRAP_PAD_RANDOM_LEN];
    out_block[i] = pad != 0 ? pad : 0xFF;
  }
  out_block[separator] = 0x00;
  if (key_len != 0) std::memcpy(out_block + separator + 1, key, key_len);
}

int32_t ExportSymmetricKey(const DataBlob *key, const DataBlob *wrapping_key, DataBlob *inout_blob,
                           uint32_t alg_id) {
  if (key == nullptr || key->pbData == nullptr || inout_blob == nullptr) return OB_E_ARGUMENT;
  switch (ChoosePath(wrapping_key)) {
    case WrapPath::kPlain:
      return ExportPlain(*key, inout_blob, alg_id);
    case WrapPath::kToken:
      return ExportWrappedByToken(*key, inout_blob, alg_id);
    case WrapPath::kSoftware:
      return ExportWrappedInSoftware(*key, *wrapping_key, inout_blob, alg_id);
    case WrapPath::kRefused:
      break;
  }
  return OB_E_ARGUMENT;
}

}  // namespace obkey

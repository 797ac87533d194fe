#include "tools/obkeyctl/rsa_blobs.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <memory>

namespace obkeyctl {
namespace {

constexpr size_t kBlobHeaderLen = 20;

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using Bignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using SecretBignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

uint32_t ReadLe32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void AppendLe32(std::vector<uint8_t> *out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Appends `number` least significant byte first, padded to `width` bytes.
bool AppendLittleEndian(std::vector<uint8_t> *out, const BIGNUM *number, size_t width) {
  size_t start = out->size();
  out->resize(start + width);
  return BN_bn2lebinpad(number, out->data() + start, static_cast<int>(width)) ==
         static_cast<int>(width);
}

SecretBignum GetParam(const EVP_PKEY *key, const char *name) {
  BIGNUM *value = nullptr;
  EVP_PKEY_get_bn_param(key, name, &value);
  return SecretBignum(value);
}

}  // namespace

bool PublicBlobToPem(const std::vector<uint8_t> &blob, std::string *out_pem) {
  if (blob.size() < kBlobHeaderLen || blob[0] != 0x06 || ReadLe32(blob.data() + 8) != 0x31415352) {
    return false;
  }
  uint32_t bits = ReadLe32(blob.data() + 12);
  size_t modulus_len = bits / 8;
  if (modulus_len == 0 || blob.size() < kBlobHeaderLen + modulus_len) return false;
  Bignum n(BN_lebin2bn(blob.data() + kBlobHeaderLen, static_cast<int>(modulus_len), nullptr));
  Bignum e(BN_new());
  if (!n || !e || !BN_set_word(e.get(), ReadLe32(blob.data() + 16))) return false;

  OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get());
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(builder);
  OSSL_PARAM_BLD_free(builder);
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *raw_key = nullptr;
  bool made = context != nullptr && params != nullptr && EVP_PKEY_fromdata_init(context) > 0 &&
              EVP_PKEY_fromdata(context, &raw_key, EVP_PKEY_PUBLIC_KEY, params) > 0;
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  Pkey key(raw_key);
  if (!made) return false;

  Bio memory(BIO_new(BIO_s_mem()));
  if (!memory || PEM_write_bio_PUBKEY(memory.get(), key.get()) != 1) return false;
  char *text = nullptr;
  long len = BIO_get_mem_data(memory.get(), &text);
  out_pem->assign(text, static_cast<size_t>(len));
  return true;
}

bool PemToPrivateBlob(const std::vector<uint8_t> &pem, std::vector<uint8_t> *out_blob) {
  Bio memory(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey key(PEM_read_bio_PrivateKey(memory.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return false;
  const char *part_names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                              OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                              OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                              OSSL_PKEY_PARAM_RSA_D};
  SecretBignum e = GetParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
  if (!e) return false;
  uint32_t bits = static_cast<uint32_t>(EVP_PKEY_get_bits(key.get()));
  size_t n = bits / 8, h = n / 2;
  std::vector<uint8_t> blob = {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};
  AppendLe32(&blob, 0x32415352);  // "RSA2"
  AppendLe32(&blob, bits);
  AppendLe32(&blob, static_cast<uint32_t>(BN_get_word(e.get())));
  for (size_t i = 0; i < 7; ++i) {
    SecretBignum part = GetParam(key.get(), part_names[i]);
    size_t width = (i == 0 || i == 6) ? n : h;
    if (!part || !AppendLittleEndian(&blob, part.get(), width)) {
      OPENSSL_cleanse(blob.data(), blob.size());
      return false;
    }
  }
  out_blob->swap(blob);
  return true;
}

std::vector<uint8_t> Sha1DigestInfo(const std::vector<uint8_t> &data) {
  std::vector<uint8_t> info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                               0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(data.data(), data.size(), digest);
  info.insert(info.end(), digest, digest + sizeof(digest));
  return info;
}

}  // namespace obkeyctl

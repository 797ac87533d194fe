#include "softtoken/rsa_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

#include "softtoken/rsa_der.h"
#include "softtoken/softtoken_status.h"

namespace obkey::softtoken {

namespace {

struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

struct BignumDeleter {
  void operator()(BIGNUM *bn) const { BN_free(bn); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumDeleter>;

// EncodeKey writes `key` as PKCS #1 RSAPrivateKey DER.
bool EncodeKey(EVP_PKEY *key, std::vector<uint8_t> *out_der) {
  int len = i2d_PrivateKey(key, nullptr);
  if (len <= 0) return false;
  std::vector<uint8_t> der(static_cast<size_t>(len));
  unsigned char *p = der.data();
  if (i2d_PrivateKey(key, &p) != len) return false;
  *out_der = std::move(der);
  return true;
}

EVP_PKEY *DecodeKey(const std::vector<uint8_t> &der) {
  const unsigned char *p = der.data();
  EVP_PKEY *key = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
  if (key != nullptr && p != der.data() + der.size()) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

bool GetBignum(EVP_PKEY *key, const char *name, Bignum *out) {
  BIGNUM *bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return false;
  out->reset(bn);
  return true;
}

bool IsTokenShaped(EVP_PKEY *key) {
  Bignum e;
  return EVP_PKEY_get_bits(key) == kRsaBits && GetBignum(key, OSSL_PKEY_PARAM_RSA_E, &e) &&
         BN_is_word(e.get(), kRsaPublicExponent);
}

bool IsConsistent(EVP_PKEY *key) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx != nullptr && EVP_PKEY_pairwise_check(ctx.get()) == 1;
}

}  // namespace

void RsaKey::Deleter::operator()(EVP_PKEY *key) const {
  EVP_PKEY_free(key);
}

int32_t GenerateRsaKeyDer(std::vector<uint8_t> *out_der) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  EVP_PKEY *raw_key = nullptr;
  if (ctx == nullptr || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaBits) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &raw_key) != 1) {
    return XCST_CRYPTO;
  }
  std::unique_ptr<EVP_PKEY, RsaKey::Deleter> key(raw_key);
  return EncodeKey(key.get(), out_der) ? 0 : XCST_CRYPTO;
}

int32_t ImportRsaKeyDer(const uint8_t *der, size_t der_len, std::vector<uint8_t> *out_der) {
  std::vector<uint8_t> strict;
  if (!NormalizeRsaPrivateKeyDer(der, der_len, &strict)) return XCST_BAD_KEY;
  std::unique_ptr<EVP_PKEY, RsaKey::Deleter> key(DecodeKey(strict));
  OPENSSL_cleanse(strict.data(), strict.size());
  if (key == nullptr || !IsTokenShaped(key.get()) || !IsConsistent(key.get())) return XCST_BAD_KEY;
  return EncodeKey(key.get(), out_der) ? 0 : XCST_BAD_KEY;
}

RsaKey::RsaKey() = default;
RsaKey::~RsaKey() = default;

int32_t RsaKey::Load(const std::vector<uint8_t> &der) {
  key_.reset(DecodeKey(der));
  return key_ != nullptr && EVP_PKEY_get_bits(key_.get()) == kRsaBits ? 0 : XCST_STORE_CORRUPT;
}

int32_t RsaKey::Modulus(RsaBlock *out) const {
  Bignum n;
  if (!GetBignum(key_.get(), OSSL_PKEY_PARAM_RSA_N, &n) ||
      BN_bn2binpad(n.get(), out->data(), static_cast<int>(out->size())) < 0) {
    return XCST_CRYPTO;
  }
  return 0;
}

int32_t RsaKey::PublicExponent(uint32_t *out) const {
  Bignum e;
  if (!GetBignum(key_.get(), OSSL_PKEY_PARAM_RSA_E, &e) || BN_num_bits(e.get()) > 32) {
    return XCST_CRYPTO;
  }
  *out = static_cast<uint32_t>(BN_get_word(e.get()));
  return 0;
}

int32_t RsaKey::CheckBelowModulus(const RsaBlock &in) const {
  RsaBlock n{};
  if (int32_t status = Modulus(&n)) return status;
  return std::memcmp(in.data(), n.data(), n.size()) < 0 ? 0 : XCST_DATA_RANGE;
}

int32_t RsaKey::PublicRaw(const RsaBlock &in, RsaBlock *out) const {
  if (int32_t status = CheckBelowModulus(in)) return status;
  PkeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
  size_t out_len = out->size();
  if (ctx == nullptr || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), out->data(), &out_len, in.data(), in.size()) != 1 ||
      out_len != out->size()) {
    return XCST_CRYPTO;
  }
  return 0;
}

int32_t RsaKey::PrivateRaw(const RsaBlock &in, RsaBlock *out) const {
  if (int32_t status = CheckBelowModulus(in)) return status;
  PkeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
  size_t out_len = out->size();
  if (ctx == nullptr || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), out->data(), &out_len, in.data(), in.size()) != 1 ||
      out_len != out->size()) {
    return XCST_CRYPTO;
  }
  return 0;
}

}  // namespace obkey::softtoken

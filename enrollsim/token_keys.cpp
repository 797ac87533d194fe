#include "token_keys.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>

#include <algorithm>
#include <iterator>

#include "device_config.h"
#include "enrollsim_status.h"

namespace obkey::enrollsim {

namespace {

constexpr uint32_t kModulusBits = 1024;

// DER prefix of a DigestInfo for SHA-256 (RFC 8017, 9.2 note 1).
constexpr uint8_t kSha256DigestInfoPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                               0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                               0x01, 0x05, 0x00, 0x04, 0x20};

using Bignum = OsslPtr<BIGNUM, BN_free>;

Pkey RsaPublicKey(const uint8_t *modulus, size_t modulus_len, const uint8_t *exponent,
                  size_t exponent_len) {
  Bignum n(BN_bin2bn(modulus, static_cast<int>(modulus_len), nullptr));
  Bignum e(BN_bin2bn(exponent, static_cast<int>(exponent_len), nullptr));
  if (!n || !e || BN_num_bits(n.get()) != static_cast<int>(kModulusBits) || BN_is_zero(e.get())) {
    return nullptr;
  }
  OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM *params = nullptr;
  if (builder != nullptr && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get())) {
    params = OSSL_PARAM_BLD_to_param(builder);
  }
  OSSL_PARAM_BLD_free(builder);
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *key = nullptr;
  if (context == nullptr || params == nullptr || EVP_PKEY_fromdata_init(context) <= 0 ||
      EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  return Pkey(key);
}

}  // namespace

TokenSession::TokenSession() {
  int32_t device = 0;
  if (!ReadConfiguredDevice(&device)) {
    status_ = VEST_NO_DEVICE;
    return;
  }
  status_ = XC_ConnectEkey(device, &handle_);
}

TokenSession::~TokenSession() {
  if (status_ == 0) XC_DisconnectEkey(handle_);
}

int32_t OpenKey(const TokenSession &session, TokenKey key, XcHandle *out_container,
                Pkey *out_public_key) {
  if (session.status() != 0) return session.status();
  XcHandle container = 0;
  if (int32_t status = XC_SetCurContainer(session.handle(), key.slot, &container)) return status;
  uint8_t raw[XC_PUBKEY_SIZE] = {};
  uint32_t raw_len = sizeof(raw);
  if (int32_t status = XC_ReadRSAPubKey(container, raw, &raw_len, key.key_type)) return status;
  if (raw_len != XC_PUBKEY_SIZE) return VEST_TOKEN_KEY;
  uint32_t bits = uint32_t{raw[0]} << 24 | uint32_t{raw[1]} << 16 | uint32_t{raw[2]} << 8 | raw[3];
  if (bits != kModulusBits) return VEST_TOKEN_KEY;
  Pkey public_key = RsaPublicKey(raw + XC_PUBKEY_MODULUS_OFFSET, XC_RSA_BLOCK, raw + 4, 3);
  if (!public_key) return VEST_TOKEN_KEY;
  *out_container = container;
  *out_public_key = std::move(public_key);
  return 0;
}

int32_t SignSha256(XcHandle container, uint32_t key_type, const std::vector<uint8_t> &data,
                   std::vector<uint8_t> *out_signature) {
  uint8_t info[sizeof(kSha256DigestInfoPrefix) + SHA256_DIGEST_LENGTH];
  std::copy(std::begin(kSha256DigestInfoPrefix), std::end(kSha256DigestInfoPrefix), info);
  SHA256(data.data(), data.size(), info + sizeof(kSha256DigestInfoPrefix));
  std::vector<uint8_t> signature(XC_RSA_BLOCK);
  uint32_t signature_len = XC_RSA_BLOCK;
  if (int32_t status =
          XC_RSASign(container, info, sizeof(info), signature.data(), &signature_len, key_type)) {
    return status;
  }
  if (signature_len != XC_RSA_BLOCK) return VEST_TOKEN_KEY;
  *out_signature = std::move(signature);
  return 0;
}

int32_t WriteMatchingCert(XcHandle container, uint32_t key_type, EVP_PKEY *token_key, X509 *cert,
                          int32_t mismatch) {
  EVP_PKEY *cert_key = X509_get0_pubkey(cert);
  if (cert_key == nullptr || EVP_PKEY_eq(cert_key, token_key) != 1) return mismatch;
  std::vector<uint8_t> der = DerOf(cert);
  if (der.empty()) return mismatch;
  return XC_WriteCert(container, der.data(), static_cast<uint32_t>(der.size()), key_type);
}

}  // namespace obkey::enrollsim

#include "rsa_blocks.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace obkey::p11token {

namespace {

constexpr int kModulusBits = 1024;
constexpr unsigned long kPublicExponent = 65537;

// DerReader walks DER that may use longer length forms than needed.
class DerReader {
 public:
  DerReader(const uint8_t *data, size_t len) : data_(data), len_(len) {}

  // Element reads one element of `tag` and stores where its contents are.
  bool Element(uint8_t tag, const uint8_t **out_contents, size_t *out_len) {
    if (pos_ >= len_ || data_[pos_] != tag) return false;
    ++pos_;
    if (pos_ >= len_) return false;
    size_t length = data_[pos_++];
    if (length & 0x80) {
      size_t count = length & 0x7F;
      // Indefinite lengths are not DER; four bytes reach far past any key.
      if (count == 0 || count > 4) return false;
      length = 0;
      for (size_t i = 0; i < count; ++i) {
        if (pos_ >= len_) return false;
        length = (length << 8) | data_[pos_++];
      }
    }
    if (length > len_ - pos_) return false;
    *out_contents = data_ + pos_;
    *out_len = length;
    pos_ += length;
    return true;
  }

  // UnsignedInteger reads a nonnegative INTEGER without its leading zeros.
  bool UnsignedInteger(std::vector<uint8_t> *out) {
    const uint8_t *contents = nullptr;
    size_t contents_len = 0;
    if (!Element(0x02, &contents, &contents_len) || contents_len == 0) return false;
    if (contents[0] & 0x80) return false;
    size_t skip = 0;
    while (skip < contents_len && contents[skip] == 0) ++skip;
    out->assign(contents + skip, contents + contents_len);
    return true;
  }

  bool AtEnd() const { return pos_ == len_; }

 private:
  const uint8_t *data_;
  size_t len_;
  size_t pos_ = 0;
};

struct BnFree {
  void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
using Bignum = std::unique_ptr<BIGNUM, BnFree>;

}  // namespace

bool BelowModulus(const RsaBlock &block, const RsaBlock &modulus) {
  return std::memcmp(block.data(), modulus.data(), kRsaBlock) < 0;
}

RsaPrivateKey::~RsaPrivateKey() {
  for (std::vector<uint8_t> *number : {&n, &e, &d, &p, &q, &dp, &dq, &qinv}) {
    if (!number->empty()) OPENSSL_cleanse(number->data(), number->size());
  }
}

bool MadeByKey(const RsaBlock &input, const RsaBlock &result, const RsaBlock &modulus,
               const RsaExponent &exponent) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new(), BN_CTX_free);
  Bignum n(BN_bin2bn(modulus.data(), kRsaBlock, nullptr));
  Bignum e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  Bignum s(BN_bin2bn(result.data(), kRsaBlock, nullptr));
  Bignum back(BN_secure_new());
  if (!context || !n || !e || !s || !back || BN_is_zero(n.get()) ||
      BN_mod_exp(back.get(), s.get(), e.get(), n.get(), context.get()) != 1) {
    return false;
  }
  // `back` is the input again (a decryption's plaintext): compared in place,
  // then wiped with the number.
  RsaBlock bytes{};
  bool made = BN_bn2binpad(back.get(), bytes.data(), kRsaBlock) == kRsaBlock &&
              CRYPTO_memcmp(bytes.data(), input.data(), kRsaBlock) == 0;
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return made;
}

bool ReadRsaPrivateKey(const uint8_t *der, size_t der_len, RsaPrivateKey *out_key) {
  if (der == nullptr) return false;
  DerReader outer(der, der_len);
  const uint8_t *body = nullptr;
  size_t body_len = 0;
  if (!outer.Element(0x30, &body, &body_len) || !outer.AtEnd()) return false;
  DerReader fields(body, body_len);
  std::vector<uint8_t> version;
  if (!fields.UnsignedInteger(&version) || !version.empty()) return false;
  for (std::vector<uint8_t> *number : {&out_key->n, &out_key->e, &out_key->d, &out_key->p,
                                       &out_key->q, &out_key->dp, &out_key->dq, &out_key->qinv}) {
    if (!fields.UnsignedInteger(number)) return false;
  }
  return fields.AtEnd();
}

bool CheckRsaPrivateKey(const RsaPrivateKey &key) {
  // Secure numbers make the parameter builder keep its copies in memory
  // that is wiped when freed.
  auto to_bn = [](const std::vector<uint8_t> &bytes) {
    Bignum bn(BN_secure_new());
    if (bn && BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), bn.get()) == nullptr) {
      bn.reset();
    }
    return bn;
  };
  Bignum n = to_bn(key.n), e = to_bn(key.e), d = to_bn(key.d), p = to_bn(key.p), q = to_bn(key.q),
         dp = to_bn(key.dp), dq = to_bn(key.dq), qinv = to_bn(key.qinv);
  if (!n || !e || !d || !p || !q || !dp || !dq || !qinv) return false;
  if (BN_num_bits(n.get()) != kModulusBits || !BN_is_word(e.get(), kPublicExponent)) return false;
  OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM *params = nullptr;
  if (builder != nullptr && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_D, d.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get())) {
    params = OSSL_PARAM_BLD_to_param(builder);
  }
  OSSL_PARAM_BLD_free(builder);
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *pkey = nullptr;
  bool ok = context != nullptr && params != nullptr && EVP_PKEY_fromdata_init(context) > 0 &&
            EVP_PKEY_fromdata(context, &pkey, EVP_PKEY_KEYPAIR, params) > 0;
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  if (ok) {
    EVP_PKEY_CTX *check = EVP_PKEY_CTX_new(pkey, nullptr);
    ok = check != nullptr && EVP_PKEY_pairwise_check(check) == 1;
    EVP_PKEY_CTX_free(check);
  }
  EVP_PKEY_free(pkey);
  return ok;
}

void CertificateSubject(const uint8_t *cert, size_t cert_len, std::vector<uint8_t> *out_subject) {
  out_subject->clear();
  const uint8_t *cursor = cert;
  X509 *x509 = d2i_X509(nullptr, &cursor, static_cast<long>(cert_len));
  if (x509 == nullptr) return;
  uint8_t *der = nullptr;
  int der_len = i2d_X509_NAME(X509_get_subject_name(x509), &der);
  if (der_len > 0) out_subject->assign(der, der + der_len);
  OPENSSL_free(der);
  X509_free(x509);
}

}  // namespace obkey::p11token

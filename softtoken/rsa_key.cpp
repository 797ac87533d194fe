#include "softtoken/rsa_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

#include "softtoken/os.h"
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

// PassesFullCheck runs OpenSSL's complete RSA key check: p and q prime,
// n = pq, d the inverse of e, and the CRT values matching. A damaged or
// forged key that still parses would otherwise sign wrongly or leak its
// primes through a faulty CRT signature.
bool PassesFullCheck(EVP_PKEY *key) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx != nullptr && EVP_PKEY_check(ctx.get()) == 1;
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

// Operation is a context set up for one raw operation. A context is not
// safe to share between threads, so calls on it take turns.
struct RsaKey::Operation {
  os::Mutex mutex;
  PkeyCtx ctx;
  bool encrypts = false;  // the public operation; else the private one
};

std::unique_ptr<RsaKey::Operation> RsaKey::NewOperation(EVP_PKEY *key, bool encrypts) {
  auto operation = std::make_unique<RsaKey::Operation>();
  operation->encrypts = encrypts;
  operation->ctx.reset(EVP_PKEY_CTX_new(key, nullptr));
  if (operation->ctx == nullptr) return nullptr;
  int ready = encrypts ? EVP_PKEY_encrypt_init(operation->ctx.get())
                       : EVP_PKEY_decrypt_init(operation->ctx.get());
  if (ready != 1 || EVP_PKEY_CTX_set_rsa_padding(operation->ctx.get(), RSA_NO_PADDING) != 1) {
    return nullptr;
  }
  return operation;
}

namespace {

// PublicKeyOf returns a key holding only the public half of `key`.
EVP_PKEY *PublicKeyOf(EVP_PKEY *key) {
  int len = i2d_PublicKey(key, nullptr);
  if (len <= 0) return nullptr;
  std::vector<uint8_t> der(static_cast<size_t>(len));
  unsigned char *p = der.data();
  if (i2d_PublicKey(key, &p) != len) return nullptr;
  const unsigned char *in = der.data();
  return d2i_PublicKey(EVP_PKEY_RSA, nullptr, &in, len);
}

}  // namespace

RsaKey::RsaKey() = default;
RsaKey::~RsaKey() = default;

int32_t RsaKey::Load(const std::vector<uint8_t> &der) {
  private_operation_.reset();
  public_operation_.reset();
  public_key_.reset();
  private_key_.reset(DecodeKey(der));
  Bignum n;
  Bignum e;
  bool ok = private_key_ != nullptr && EVP_PKEY_get_bits(private_key_.get()) == kRsaBits &&
            GetBignum(private_key_.get(), OSSL_PKEY_PARAM_RSA_N, &n) &&
            GetBignum(private_key_.get(), OSSL_PKEY_PARAM_RSA_E, &e) &&
            BN_num_bits(e.get()) <= 32 &&
            BN_bn2binpad(n.get(), modulus_.data(), static_cast<int>(modulus_.size())) >= 0;
  if (ok) {
    exponent_ = static_cast<uint32_t>(BN_get_word(e.get()));
    public_key_.reset(PublicKeyOf(private_key_.get()));
    ok = public_key_ != nullptr;
  }
  if (ok) {
    private_operation_ = NewOperation(private_key_.get(), false);
    public_operation_ = NewOperation(public_key_.get(), true);
    ok = private_operation_ != nullptr && public_operation_ != nullptr;
  }
  const bool parsed = ok;
  ok = ok && PassesFullCheck(private_key_.get());
  if (!ok) {
    private_operation_.reset();
    public_operation_.reset();
    public_key_.reset();
    private_key_.reset();
    return parsed ? XCST_STORE_BAD_KEY : XCST_STORE_CORRUPT;
  }
  return 0;
}

int32_t RsaKey::Run(Operation *operation, const RsaBlock &in, RsaBlock *out) const {
  if (operation == nullptr) return XCST_CRYPTO;
  if (std::memcmp(in.data(), modulus_.data(), modulus_.size()) >= 0) return XCST_DATA_RANGE;
  os::MutexLock turn(&operation->mutex);
  size_t out_len = out->size();
  int done =
      operation->encrypts
          ? EVP_PKEY_encrypt(operation->ctx.get(), out->data(), &out_len, in.data(), in.size())
          : EVP_PKEY_decrypt(operation->ctx.get(), out->data(), &out_len, in.data(), in.size());
  return done == 1 && out_len == out->size() ? 0 : XCST_CRYPTO;
}

int32_t RsaKey::PublicRaw(const RsaBlock &in, RsaBlock *out) const {
  return Run(public_operation_.get(), in, out);
}

int32_t RsaKey::PrivateRaw(const RsaBlock &in, RsaBlock *out) const {
  return Run(private_operation_.get(), in, out);
}

}  // namespace obkey::softtoken

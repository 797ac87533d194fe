#include "rsa_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>

#include "rsa_der.h"
#include "softtoken_os.h"
#include "softtoken_status.h"

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

struct SecretBignumDeleter {
  void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
using SecretBignum = std::unique_ptr<BIGNUM, SecretBignumDeleter>;

struct ParamsDeleter {
  // OpenSSL 3.0 has no OSSL_PARAM_clear_free: the key's numbers are wiped
  // here before the block that holds them is freed.
  void operator()(OSSL_PARAM *params) const {
    for (OSSL_PARAM *p = params; p != nullptr && p->key != nullptr; ++p) {
      if (p->data != nullptr) OPENSSL_cleanse(p->data, p->data_size);
    }
    OSSL_PARAM_free(params);
  }
};
struct ParamBuildDeleter {
  void operator()(OSSL_PARAM_BLD *build) const { OSSL_PARAM_BLD_free(build); }
};

// The OpenSSL names of the RSAPrivateKey INTEGERs after the version.
constexpr const char *kKeyPartNames[kRsaPrivateKeyParts - 1] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,           OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,     OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

// EncodeKey writes `key` as PKCS #1 RSAPrivateKey DER. OpenSSL's encoder
// (i2d_PrivateKey) leaves copies of the key in buffers it frees without
// wiping, so the parts are taken one by one and written here.
bool EncodeKey(EVP_PKEY *key, obkey::SecretBytes *out_der) {
  std::array<obkey::SecretBytes, kRsaPrivateKeyParts> magnitudes;
  RsaKeyParts parts;
  magnitudes[0] = {0};
  parts[0] = RsaKeyPart{magnitudes[0].data(), 1};
  for (size_t i = 1; i < kRsaPrivateKeyParts; ++i) {
    BIGNUM *raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, kKeyPartNames[i - 1], &raw) != 1) return false;
    SecretBignum bn(raw);
    // A zero byte in front keeps the top bit from reading as a sign.
    magnitudes[i].resize(static_cast<size_t>(BN_num_bytes(bn.get())) + 1);
    if (BN_bn2binpad(bn.get(), magnitudes[i].data(), static_cast<int>(magnitudes[i].size())) < 0) {
      return false;
    }
    parts[i] = RsaKeyPart{magnitudes[i].data(), magnitudes[i].size()};
  }
  return EncodeRsaPrivateKeyDer(parts, out_der);
}

// DecodeKey makes a key from strict RSAPrivateKey DER. OpenSSL's decoder
// (d2i_PrivateKey) leaves copies of its input in buffers it frees without
// wiping, so the parts are read here and handed over as numbers.
EVP_PKEY *DecodeKey(const uint8_t *der, size_t der_len) {
  RsaKeyParts parts;
  if (!SplitRsaPrivateKeyDer(der, der_len, &parts)) return nullptr;
  if (parts[0].len != 1 || parts[0].data[0] != 0) return nullptr;
  std::array<SecretBignum, kRsaPrivateKeyParts - 1> numbers;
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
  if (build == nullptr) return nullptr;
  for (size_t i = 0; i < numbers.size(); ++i) {
    const RsaKeyPart &part = parts[i + 1];
    // Secure numbers make the parameters, and so the key's own numbers,
    // live in OpenSSL's secure heap where one is set up.
    numbers[i].reset(BN_secure_new());
    if (numbers[i] == nullptr ||
        BN_bin2bn(part.data, static_cast<int>(part.len), numbers[i].get()) == nullptr ||
        OSSL_PARAM_BLD_push_BN(build.get(), kKeyPartNames[i], numbers[i].get()) != 1) {
      return nullptr;
    }
  }
  std::unique_ptr<OSSL_PARAM, ParamsDeleter> params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY *key = nullptr;
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return nullptr;
  }
  return key;
}

EVP_PKEY *DecodeKey(const obkey::SecretBytes &der) {
  return DecodeKey(der.data(), der.size());
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

int32_t GenerateRsaKeyDer(obkey::SecretBytes *out_der) {
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

int32_t ImportRsaKeyDer(const uint8_t *der, size_t der_len, obkey::SecretBytes *out_der) {
  obkey::SecretBytes strict;
  if (!NormalizeRsaPrivateKeyDer(der, der_len, &strict)) return XCST_BAD_KEY;
  std::unique_ptr<EVP_PKEY, RsaKey::Deleter> key(DecodeKey(strict));
  if (key == nullptr || !IsTokenShaped(key.get()) || !IsConsistent(key.get())) return XCST_BAD_KEY;
  return EncodeKey(key.get(), out_der) ? 0 : XCST_BAD_KEY;
}

// Operation is a context set up for one raw operation. A context is not
// safe to share between threads, so calls on it take turns.
// Operation is a pool of contexts set up for one raw operation of one key:
// a context serves one thread at a time, so each call takes one from the
// pool (or copies the first) and puts it back, and threads using the same
// key run their exponentiations at once.
struct RsaKey::Operation {
  os::Mutex mutex;
  PkeyCtx first;
  std::vector<PkeyCtx> idle;
  bool encrypts = false;  // the public operation; else the private one

  PkeyCtx Take() {
    {
      os::MutexLock hold(&mutex);
      if (!idle.empty()) {
        PkeyCtx ctx = std::move(idle.back());
        idle.pop_back();
        return ctx;
      }
    }
    return PkeyCtx(EVP_PKEY_CTX_dup(first.get()));
  }
  void Give(PkeyCtx ctx) {
    os::MutexLock hold(&mutex);
    idle.push_back(std::move(ctx));
  }
};

std::unique_ptr<RsaKey::Operation> RsaKey::NewOperation(EVP_PKEY *key, bool encrypts) {
  auto operation = std::make_unique<RsaKey::Operation>();
  operation->encrypts = encrypts;
  operation->first.reset(EVP_PKEY_CTX_new(key, nullptr));
  if (operation->first == nullptr) return nullptr;
  int ready = encrypts ? EVP_PKEY_encrypt_init(operation->first.get())
                       : EVP_PKEY_decrypt_init(operation->first.get());
  if (ready != 1 || EVP_PKEY_CTX_set_rsa_padding(operation->first.get(), RSA_NO_PADDING) != 1) {
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

bool PublicKeyDerOf(const obkey::SecretBytes &der, std::vector<uint8_t> *out_public_der) {
  std::unique_ptr<EVP_PKEY, RsaKey::Deleter> key(DecodeKey(der));
  if (key == nullptr) return false;
  int len = i2d_PublicKey(key.get(), nullptr);
  if (len <= 0) return false;
  std::vector<uint8_t> public_der(static_cast<size_t>(len));
  unsigned char *p = public_der.data();
  if (i2d_PublicKey(key.get(), &p) != len) return false;
  *out_public_der = std::move(public_der);
  return true;
}

int32_t RsaKey::LoadPublic(const std::vector<uint8_t> &public_der) {
  private_operation_.reset();
  public_operation_.reset();
  private_key_.reset();
  const unsigned char *in = public_der.data();
  public_key_.reset(
      d2i_PublicKey(EVP_PKEY_RSA, nullptr, &in, static_cast<long>(public_der.size())));
  Bignum n;
  Bignum e;
  bool ok = public_key_ != nullptr && in == public_der.data() + public_der.size() &&
            EVP_PKEY_get_bits(public_key_.get()) == kRsaBits &&
            GetBignum(public_key_.get(), OSSL_PKEY_PARAM_RSA_N, &n) &&
            GetBignum(public_key_.get(), OSSL_PKEY_PARAM_RSA_E, &e) &&
            BN_is_word(e.get(), kRsaPublicExponent) &&
            BN_bn2binpad(n.get(), modulus_.data(), static_cast<int>(modulus_.size())) >= 0;
  if (ok) {
    exponent_ = kRsaPublicExponent;
    public_operation_ = NewOperation(public_key_.get(), true);
    ok = public_operation_ != nullptr;
  }
  if (!ok) {
    public_operation_.reset();
    public_key_.reset();
    return XCST_STORE_CORRUPT;
  }
  return 0;
}

RsaKey::RsaKey() = default;
RsaKey::~RsaKey() = default;

int32_t RsaKey::Load(const obkey::SecretBytes &der) {
  os::KeepOpenSslSecretsFromDumps();
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
  PkeyCtx ctx = operation->Take();
  if (ctx == nullptr) return XCST_CRYPTO;
  size_t out_len = out->size();
  int done = operation->encrypts
                 ? EVP_PKEY_encrypt(ctx.get(), out->data(), &out_len, in.data(), in.size())
                 : EVP_PKEY_decrypt(ctx.get(), out->data(), &out_len, in.data(), in.size());
  operation->Give(std::move(ctx));
  return done == 1 && out_len == out->size() ? 0 : XCST_CRYPTO;
}

int32_t RsaKey::PublicRaw(const RsaBlock &in, RsaBlock *out) const {
  return Run(public_operation_.get(), in, out);
}

int32_t RsaKey::PrivateRaw(const RsaBlock &in, RsaBlock *out) const {
  return Run(private_operation_.get(), in, out);
}

}  // namespace obkey::softtoken

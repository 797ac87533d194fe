#include "rsa_key.h"

// The private half of a key is OpenSSL's RSA object, built here from
// numbers in its secure heap: its provider interface (EVP_PKEY_fromdata)
// copies whatever it is given into ordinary memory, which a core dump
// holds. The object's calls are deprecated in OpenSSL 3, not removed
// (CMakeLists.txt lets this file use them).

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
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

using Rsa = std::unique_ptr<RSA, RsaKey::RsaDeleter>;

// KeyNumbers lists the numbers of `rsa` in the RSAPrivateKey order after
// the version: n, e, d, p, q, dP, dQ, qInv.
std::array<const BIGNUM *, kRsaPrivateKeyParts - 1> KeyNumbers(const RSA *rsa) {
  std::array<const BIGNUM *, kRsaPrivateKeyParts - 1> numbers{};
  RSA_get0_key(rsa, &numbers[0], &numbers[1], &numbers[2]);
  RSA_get0_factors(rsa, &numbers[3], &numbers[4]);
  RSA_get0_crt_params(rsa, &numbers[5], &numbers[6], &numbers[7]);
  return numbers;
}

// EncodeKey writes `rsa` as PKCS #1 RSAPrivateKey DER. OpenSSL's encoder
// leaves copies of the key in buffers it frees without wiping, so the
// numbers are written here, straight from the key.
bool EncodeKey(const RSA *rsa, obkey::SecretBytes *out_der) {
  std::array<obkey::SecretBytes, kRsaPrivateKeyParts> magnitudes;
  RsaKeyParts parts;
  magnitudes[0] = {0};
  parts[0] = RsaKeyPart{magnitudes[0].data(), 1};
  const auto numbers = KeyNumbers(rsa);
  for (size_t i = 1; i < kRsaPrivateKeyParts; ++i) {
    const BIGNUM *bn = numbers[i - 1];
    if (bn == nullptr) return false;
    // A zero byte in front keeps the top bit from reading as a sign.
    magnitudes[i].resize(static_cast<size_t>(BN_num_bytes(bn)) + 1);
    if (BN_bn2binpad(bn, magnitudes[i].data(), static_cast<int>(magnitudes[i].size())) < 0) {
      return false;
    }
    parts[i] = RsaKeyPart{magnitudes[i].data(), magnitudes[i].size()};
  }
  return EncodeRsaPrivateKeyDer(parts, out_der);
}

// DecodeKey makes a key from strict RSAPrivateKey DER. OpenSSL's decoder
// leaves copies of its input in buffers it frees without wiping, so the
// parts are read here; the private numbers go to the secure heap.
Rsa DecodeKey(const uint8_t *der, size_t der_len) {
  os::KeepOpenSslSecretsFromDumps();
  RsaKeyParts parts;
  if (!SplitRsaPrivateKeyDer(der, der_len, &parts)) return nullptr;
  if (parts[0].len != 1 || parts[0].data[0] != 0) return nullptr;
  std::array<SecretBignum, kRsaPrivateKeyParts - 1> numbers;
  for (size_t i = 0; i < numbers.size(); ++i) {
    const RsaKeyPart &part = parts[i + 1];
    const bool is_public = i < 2;  // n and e
    numbers[i].reset(is_public ? BN_new() : BN_secure_new());
    if (numbers[i] == nullptr ||
        BN_bin2bn(part.data, static_cast<int>(part.len), numbers[i].get()) == nullptr) {
      return nullptr;
    }
  }
  Rsa rsa(RSA_new());
  if (rsa == nullptr) return nullptr;
  // Each call takes its numbers only when it succeeds.
  if (RSA_set0_key(rsa.get(), numbers[0].get(), numbers[1].get(), numbers[2].get()) != 1) {
    return nullptr;
  }
  for (size_t i : {0, 1, 2}) numbers[i].release();
  if (RSA_set0_factors(rsa.get(), numbers[3].get(), numbers[4].get()) != 1) return nullptr;
  for (size_t i : {3, 4}) numbers[i].release();
  if (RSA_set0_crt_params(rsa.get(), numbers[5].get(), numbers[6].get(), numbers[7].get()) != 1) {
    return nullptr;
  }
  for (size_t i : {5, 6, 7}) numbers[i].release();
  // Kept Montgomery values of p and q would be copies of p and q in
  // ordinary memory; made per operation, they are wiped after it.
  RSA_clear_flags(rsa.get(), RSA_FLAG_CACHE_PRIVATE);
  return rsa;
}

Rsa DecodeKey(const obkey::SecretBytes &der) {
  return DecodeKey(der.data(), der.size());
}

bool GetBignum(EVP_PKEY *key, const char *name, Bignum *out) {
  BIGNUM *bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return false;
  out->reset(bn);
  return true;
}

bool IsTokenShaped(const RSA *rsa) {
  const BIGNUM *e = nullptr;
  RSA_get0_key(rsa, nullptr, &e, nullptr);
  return RSA_bits(rsa) == kRsaBits && e != nullptr && BN_is_word(e, kRsaPublicExponent);
}

// PassesFullCheck runs OpenSSL's complete RSA key check: p and q prime,
// n = pq, d the inverse of e, and the CRT values matching. A damaged or
// forged key that still parses would otherwise sign wrongly or leak its
// primes through a faulty CRT signature.
bool PassesFullCheck(const RSA *rsa) {
  return RSA_check_key_ex(rsa, nullptr) == 1;
}

// PublicKeyOf returns a key holding only the public half of `rsa`.
EVP_PKEY *PublicKeyOf(const RSA *rsa) {
  int len = i2d_RSAPublicKey(rsa, nullptr);
  if (len <= 0) return nullptr;
  std::vector<uint8_t> der(static_cast<size_t>(len));
  unsigned char *p = der.data();
  if (i2d_RSAPublicKey(rsa, &p) != len) return nullptr;
  const unsigned char *in = der.data();
  return d2i_PublicKey(EVP_PKEY_RSA, nullptr, &in, len);
}

}  // namespace

void RsaKey::Deleter::operator()(EVP_PKEY *key) const {
  EVP_PKEY_free(key);
}

void RsaKey::RsaDeleter::operator()(RSA *rsa) const {
  RSA_free(rsa);
}

int32_t GenerateRsaKeyDer(obkey::SecretBytes *out_der) {
  // OpenSSL's generator makes the private numbers in its secure heap.
  os::KeepOpenSslSecretsFromDumps();
  Rsa rsa(RSA_new());
  Bignum e(BN_new());
  if (rsa == nullptr || e == nullptr || BN_set_word(e.get(), kRsaPublicExponent) != 1 ||
      RSA_generate_key_ex(rsa.get(), kRsaBits, e.get(), nullptr) != 1) {
    return XCST_CRYPTO;
  }
  return EncodeKey(rsa.get(), out_der) ? 0 : XCST_CRYPTO;
}

int32_t ImportRsaKeyDer(const uint8_t *der, size_t der_len, obkey::SecretBytes *out_der) {
  obkey::SecretBytes strict;
  if (!NormalizeRsaPrivateKeyDer(der, der_len, &strict)) return XCST_BAD_KEY;
  Rsa rsa = DecodeKey(strict);
  if (rsa == nullptr || !IsTokenShaped(rsa.get()) || !PassesFullCheck(rsa.get())) {
    return XCST_BAD_KEY;
  }
  return EncodeKey(rsa.get(), out_der) ? 0 : XCST_BAD_KEY;
}

// Operation is a pool of contexts set up for the raw public operation of
// one key: a context serves one thread at a time, so each call takes one
// from the pool (or copies the first) and puts it back, and threads using
// the same key run their exponentiations at once.
struct RsaKey::Operation {
  os::Mutex mutex;
  PkeyCtx first;
  std::vector<PkeyCtx> idle;

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

std::unique_ptr<RsaKey::Operation> RsaKey::NewPublicOperation(EVP_PKEY *key) {
  auto operation = std::make_unique<RsaKey::Operation>();
  operation->first.reset(EVP_PKEY_CTX_new(key, nullptr));
  if (operation->first == nullptr || EVP_PKEY_encrypt_init(operation->first.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(operation->first.get(), RSA_NO_PADDING) != 1) {
    return nullptr;
  }
  return operation;
}

bool PublicKeyDerOf(const obkey::SecretBytes &der, std::vector<uint8_t> *out_public_der) {
  Rsa rsa = DecodeKey(der);
  if (rsa == nullptr) return false;
  int len = i2d_RSAPublicKey(rsa.get(), nullptr);
  if (len <= 0) return false;
  std::vector<uint8_t> public_der(static_cast<size_t>(len));
  unsigned char *p = public_der.data();
  if (i2d_RSAPublicKey(rsa.get(), &p) != len) return false;
  *out_public_der = std::move(public_der);
  return true;
}

int32_t RsaKey::LoadPublic(const std::vector<uint8_t> &public_der) {
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
    public_operation_ = NewPublicOperation(public_key_.get());
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
  public_operation_.reset();
  public_key_.reset();
  private_key_ = DecodeKey(der);
  const BIGNUM *n = nullptr;
  const BIGNUM *e = nullptr;
  if (private_key_ != nullptr) RSA_get0_key(private_key_.get(), &n, &e, nullptr);
  bool ok = private_key_ != nullptr && RSA_bits(private_key_.get()) == kRsaBits &&
            BN_num_bits(e) <= 32 &&
            BN_bn2binpad(n, modulus_.data(), static_cast<int>(modulus_.size())) >= 0;
  if (ok) {
    exponent_ = static_cast<uint32_t>(BN_get_word(e));
    public_key_.reset(PublicKeyOf(private_key_.get()));
    public_operation_ = public_key_ != nullptr ? NewPublicOperation(public_key_.get()) : nullptr;
    ok = public_operation_ != nullptr;
  }
  const bool parsed = ok;
  ok = ok && PassesFullCheck(private_key_.get());
  if (!ok) {
    public_operation_.reset();
    public_key_.reset();
    private_key_.reset();
    return parsed ? XCST_STORE_BAD_KEY : XCST_STORE_CORRUPT;
  }
  return 0;
}

int32_t RsaKey::PublicRaw(const RsaBlock &in, RsaBlock *out) const {
  if (public_operation_ == nullptr) return XCST_CRYPTO;
  if (std::memcmp(in.data(), modulus_.data(), modulus_.size()) >= 0) return XCST_DATA_RANGE;
  PkeyCtx ctx = public_operation_->Take();
  if (ctx == nullptr) return XCST_CRYPTO;
  size_t out_len = out->size();
  int done = EVP_PKEY_encrypt(ctx.get(), out->data(), &out_len, in.data(), in.size());
  public_operation_->Give(std::move(ctx));
  return done == 1 && out_len == out->size() ? 0 : XCST_CRYPTO;
}

int32_t RsaKey::PrivateRaw(const RsaBlock &in, RsaBlock *out) const {
  if (private_key_ == nullptr) return XCST_CRYPTO;
  if (std::memcmp(in.data(), modulus_.data(), modulus_.size()) >= 0) return XCST_DATA_RANGE;
  // The object is safe to share between threads: OpenSSL keeps its
  // blinding per thread.
  int done = RSA_private_decrypt(static_cast<int>(in.size()), in.data(), out->data(),
                                 private_key_.get(), RSA_NO_PADDING);
  return done == static_cast<int>(out->size()) ? 0 : XCST_CRYPTO;
}

}  // namespace obkey::softtoken

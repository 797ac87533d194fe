// rsa_key.h — the token's 1024-bit RSA keys, through OpenSSL's EVP interface.
// Keys are kept in the store as strict PKCS #1 RSAPrivateKey DER.
#ifndef OBKEY_SOFTTOKEN_RSA_KEY_H
#define OBKEY_SOFTTOKEN_RSA_KEY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rsa_padding.h"
#include "wiping_allocator.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct rsa_st RSA;

namespace obkey::softtoken {

constexpr int kRsaBits = 1024;
constexpr uint32_t kRsaPublicExponent = 65537;

// GenerateRsaKeyDer makes a fresh 1024-bit key with exponent 65537.
// Returns 0 or XCST_CRYPTO.
int32_t GenerateRsaKeyDer(obkey::SecretBytes *out_der);

// ImportRsaKeyDer accepts a caller's RSAPrivateKey (leading zero bytes in its
// INTEGERs allowed), checks that it is a consistent 1024-bit key with
// exponent 65537, and returns its strict DER. Returns 0 or XCST_BAD_KEY.
int32_t ImportRsaKeyDer(const uint8_t *der, size_t der_len, obkey::SecretBytes *out_der);

// PublicKeyDerOf writes the public part of the key pair `der` as PKCS #1
// RSAPublicKey DER. Returns false when `der` is not a key.
bool PublicKeyDerOf(const obkey::SecretBytes &der, std::vector<uint8_t> *out_public_der);

// RsaKey is one key pair read from the store, parsed once and kept: a
// private-key object for the private operation, whose secret numbers live
// in OpenSSL's secure heap (kept out of core dumps where the system allows;
// OpenSSL keeps its blinding with it), and a public-key object, holding n
// and e only, for the public operation. Its operations may be called from
// several threads at once.
class RsaKey {
 public:
  RsaKey();
  ~RsaKey();  // frees both objects through OpenSSL, which wipes the private one
  RsaKey(const RsaKey &) = delete;
  RsaKey &operator=(const RsaKey &) = delete;

  struct Deleter {
    void operator()(EVP_PKEY *key) const;
  };
  struct RsaDeleter {
    void operator()(RSA *rsa) const;
  };

  // Load reads strict DER from the store and runs OpenSSL's full RSA key
  // check on it. Returns 0, XCST_STORE_CORRUPT (not a 1024-bit RSA key) or
  // XCST_STORE_BAD_KEY (parses, but inconsistent); on failure the key holds
  // nothing.
  int32_t Load(const obkey::SecretBytes &der);

  // LoadPublic reads the public part alone (RSAPublicKey DER), for the
  // public operation; the private one then fails with XCST_CRYPTO. Returns
  // 0 or XCST_STORE_CORRUPT (not a 1024-bit key with exponent 65537).
  int32_t LoadPublic(const std::vector<uint8_t> &public_der);

  // Modulus is n, big-endian, 128 bytes; PublicExponent is e.
  const RsaBlock &Modulus() const { return modulus_; }
  uint32_t PublicExponent() const { return exponent_; }

  // PublicRaw and PrivateRaw apply x^e or x^d mod n to a whole block.
  // Return 0, XCST_DATA_RANGE (block not below n) or XCST_CRYPTO.
  int32_t PublicRaw(const RsaBlock &in, RsaBlock *out) const;
  int32_t PrivateRaw(const RsaBlock &in, RsaBlock *out) const;

 private:
  struct Operation;

  // NewPublicOperation makes a pool of contexts of `key` for the raw public
  // operation; null on failure.
  static std::unique_ptr<Operation> NewPublicOperation(EVP_PKEY *key);

  std::unique_ptr<RSA, RsaDeleter> private_key_;
  std::unique_ptr<EVP_PKEY, Deleter> public_key_;
  // Set up for the raw public operation, so that a call costs the
  // exponentiation and little else.
  std::unique_ptr<Operation> public_operation_;
  RsaBlock modulus_{};
  uint32_t exponent_ = 0;
};

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_RSA_KEY_H

// rsa_key.h — the token's 1024-bit RSA keys, through OpenSSL's EVP interface.
// Keys are kept in the store as strict PKCS #1 RSAPrivateKey DER.
#ifndef OBKEY_SOFTTOKEN_RSA_KEY_H
#define OBKEY_SOFTTOKEN_RSA_KEY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "softtoken/rsa_padding.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace obkey::softtoken {

constexpr int kRsaBits = 1024;
constexpr uint32_t kRsaPublicExponent = 65537;

// GenerateRsaKeyDer makes a fresh 1024-bit key with exponent 65537.
// Returns 0 or XCST_CRYPTO.
int32_t GenerateRsaKeyDer(std::vector<uint8_t> *out_der);

// ImportRsaKeyDer accepts a caller's RSAPrivateKey (leading zero bytes in its
// INTEGERs allowed), checks that it is a consistent 1024-bit key with
// exponent 65537, and returns its strict DER. Returns 0 or XCST_BAD_KEY.
int32_t ImportRsaKeyDer(const uint8_t *der, size_t der_len, std::vector<uint8_t> *out_der);

// RsaKey is one loaded private key.
class RsaKey {
 public:
  RsaKey();
  ~RsaKey();
  RsaKey(const RsaKey &) = delete;
  RsaKey &operator=(const RsaKey &) = delete;

  struct Deleter {
    void operator()(EVP_PKEY *key) const;
  };

  // Load reads strict DER from the store. Returns 0 or XCST_STORE_CORRUPT.
  int32_t Load(const std::vector<uint8_t> &der);

  // Modulus writes n, big-endian, 128 bytes. Returns 0 or XCST_CRYPTO.
  int32_t Modulus(RsaBlock *out) const;
  // PublicExponent stores e. Returns 0 or XCST_CRYPTO.
  int32_t PublicExponent(uint32_t *out) const;

  // PublicRaw and PrivateRaw apply x^e or x^d mod n to a whole block.
  // Return 0, XCST_DATA_RANGE (block not below n) or XCST_CRYPTO.
  int32_t PublicRaw(const RsaBlock &in, RsaBlock *out) const;
  int32_t PrivateRaw(const RsaBlock &in, RsaBlock *out) const;

 private:
  int32_t CheckBelowModulus(const RsaBlock &in) const;

  std::unique_ptr<EVP_PKEY, Deleter> key_;
};

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_RSA_KEY_H

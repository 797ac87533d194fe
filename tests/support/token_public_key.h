// The token's public keys as OpenSSL keys, and the token's SHA-1 signatures
// checked by OpenSSL, for the end-to-end tests.
#ifndef OBKEY_TESTS_SUPPORT_TOKEN_PUBLIC_KEY_H
#define OBKEY_TESTS_SUPPORT_TOKEN_PUBLIC_KEY_H

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

namespace obkey_test {

struct PkeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// TokenPublicKey exports the public key that `key_name` names through
// OB_ExportPublicKey and reads the blob as an OpenSSL key; null (with a
// test failure recorded) when either step fails.
Pkey TokenPublicKey(const std::string &key_name);

// SignSha1OnToken signs the SHA-1 DigestInfo of `message` with the token's
// signature pair (OB_AsymmetricSignData) and returns the signature as long
// as the call reports it; a failing call is recorded as a test failure.
std::vector<uint8_t> SignSha1OnToken(const std::vector<uint8_t> &message);

// OpenSslVerifiesSha1 checks an RSA PKCS #1 v1.5 SHA-1 signature.
bool OpenSslVerifiesSha1(EVP_PKEY *key, const std::vector<uint8_t> &message,
                         const std::vector<uint8_t> &signature);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_TOKEN_PUBLIC_KEY_H

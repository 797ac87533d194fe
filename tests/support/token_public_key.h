// The token's public keys as OpenSSL keys, for the end-to-end tests.
#ifndef OBKEY_TESTS_SUPPORT_TOKEN_PUBLIC_KEY_H
#define OBKEY_TESTS_SUPPORT_TOKEN_PUBLIC_KEY_H

#include <openssl/evp.h>

#include <memory>
#include <string>

namespace obkey_test {

struct PkeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// TokenPublicKey exports the public key that `key_name` names through
// OB_ExportPublicKey and reads the blob as an OpenSSL key; null (with a
// test failure recorded) when either step fails.
Pkey TokenPublicKey(const std::string &key_name);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_TOKEN_PUBLIC_KEY_H

// A private key file as a certificate authority or a tool hands it out:
// PEM or DER, PKCS #1 or #8, encrypted or not, or a PKCS #12 bundle of the
// key and its certificate. Never asks for a password itself.
#ifndef OBKEY_TOOLS_COMMON_PRIVATE_KEY_FILE_H
#define OBKEY_TOOLS_COMMON_PRIVATE_KEY_FILE_H

#include <openssl/evp.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "wiping_allocator.h"

namespace obkeyctl {

// What ReadPrivateKeyFile made of a file.
enum class KeyFileResult {
  kRead,           // the key (and a PKCS #12's certificate) is in the PrivateKeyFile
  kNeedsPassword,  // encrypted, and no password was given
  kWrongPassword,  // the password given does not open it
  kNotAKey,        // no private key in any form this reader knows
};

struct PrivateKeyFile {
  // The form found, for messages: "PEM (PKCS #1)", "encrypted PEM (PKCS #8)",
  // "DER (PKCS #8)", "PKCS #12", ...
  std::string form;
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)> key{nullptr, EVP_PKEY_free};
  // The certificate of the key that a PKCS #12 file carries; empty when none.
  std::vector<uint8_t> certificate_der;
};

// ReadPrivateKeyFile reads `file`: PEM (traditional RSA, PKCS #8, or either
// encrypted), DER (PKCS #1, PKCS #8, encrypted PKCS #8) or PKCS #12.
// `inform` is "pem", "der", "p12", or empty to recognise the form.
// `password` may be null: an encrypted file then gives kNeedsPassword (a
// PKCS #12 file is first tried with the empty password). `out->form` is
// set whenever the form was recognised, the key only on kRead; any key
// type is read (the caller checks for RSA).
KeyFileResult ReadPrivateKeyFile(const obkey::SecretBytes &file, const std::string &inform,
                                 const obkey::SecretString *password, PrivateKeyFile *out);

// KeyTypeName names a key's type for messages ("RSA", "EC", "Ed25519").
std::string KeyTypeName(const EVP_PKEY *key);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_COMMON_PRIVATE_KEY_FILE_H

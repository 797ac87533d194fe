#include "key_files.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>

#include "certificates.h"
#include "obkey_types.h"
#include "system.h"
#include "token_view.h"

namespace obkeyctl {
namespace {

constexpr int kTokenKeyBits = 1024;
constexpr BN_ULONG kTokenExponent = 65537;

const char kFormsRead[] =
    "import-key reads an RSA private key as PEM or DER (PKCS #1 or #8, encrypted or not) or a "
    "PKCS #12 file (.p12, .pfx) with its certificate";

[[noreturn]] void Unreadable(const std::string &path, const std::string &form,
                             const std::string &inform) {
  const std::string what = !inform.empty() ? " in " + inform + " form"
                           : form.empty()  ? ""
                                           : " (read as " + form + ")";
  Failure(path + " holds no private key" + what,
          {{kFormsRead,
            "convert it with openssl (openssl pkey -in KEY -out key.pem; openssl "
            "pkcs12 -in FILE.p12 -nocerts -out key.pem), or name its form with "
            "--inform pem|der|p12"}});
}

// The exponent of an RSA key, 0 when it does not fit a word.
BN_ULONG PublicExponent(EVP_PKEY *key) {
  BIGNUM *exponent = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) != 1) return 0;
  BN_ULONG word = BN_num_bits(exponent) <= 32 ? BN_get_word(exponent) : 0;
  BN_free(exponent);
  return word;
}

void CheckTokenKey(const std::string &path, const PrivateKeyFile &read) {
  const std::string what = "import-key: the " + read.form + " key in " + path + " is ";
  const std::string fix = "make one: openssl genrsa -out key.pem 1024";
  if (EVP_PKEY_get_base_id(read.key.get()) != EVP_PKEY_RSA) {
    Failure(what + "an " + KeyTypeName(read.key.get()) + " key; nothing was changed",
            {{"the token keeps only 1024-bit RSA keys", fix}});
  }
  const int bits = EVP_PKEY_get_bits(read.key.get());
  if (bits != kTokenKeyBits) {
    Failure(what + "a " + std::to_string(bits) + "-bit RSA key; nothing was changed",
            {{"the token keeps only 1024-bit RSA keys", fix}});
  }
  if (PublicExponent(read.key.get()) != kTokenExponent) {
    Failure(what + "an RSA key whose public exponent is not 65537; nothing was changed",
            {{"the token keeps only keys with the exponent 65537", fix}});
  }
}

}  // namespace

PrivateKeyFile ReadKeyFile(const Args &args) {
  const std::string &path = args.at(0);
  const std::string inform = args.Get("inform");
  const obkey::SecretBytes file = ReadSecretInput(path);
  Secret password;
  const bool given = ReadPassword(args, &password);
  PrivateKeyFile read;
  KeyFileResult result =
      ReadPrivateKeyFile(file, inform, given ? &password.text() : nullptr, &read);
  if (result == KeyFileResult::kNeedsPassword && IsTerminal(0)) {
    if (!ReadHiddenLine("Password of " + path + " (" + read.form + "): ", &password.text())) {
      UsageError("no password entered for " + path);
    }
    result = ReadPrivateKeyFile(file, inform, &password.text(), &read);
  }
  switch (result) {
    case KeyFileResult::kRead:
      break;
    case KeyFileResult::kNeedsPassword:
      Failure("import-key: " + path + " is " + read.form + " and needs its password",
              {{"off a terminal obkeyctl asks for no password",
                "give it with --pass-file FILE or --pass-stdin"}});
    case KeyFileResult::kWrongPassword:
      Failure("import-key: the password does not open " + path + " (" + read.form + ")",
              {{"the password is not the one the file was written with",
                "check it (openssl " +
                    std::string(read.form == "PKCS #12" ? "pkcs12 -info -noout -in "
                                                        : "pkey -noout -in ") +
                    path + " asks for it too)"}});
    case KeyFileResult::kNotAKey:
      Unreadable(path, read.form, inform);
  }
  CheckTokenKey(path, read);
  return read;
}

std::string StoreBundledCertificate(Context &context, const PrivateKeyFile &read, uint32_t key_type,
                                    const std::string &container) {
  CertificateFacts facts;
  std::vector<uint8_t> blob;
  const std::vector<uint8_t> der = read.certificate_der;
  if (!DescribeCertificate(der, &facts) ||
      !PublicKeyBlob(context, container + SlotOf(key_type).suffix, &blob) ||
      BlobPublicKey(blob) != facts.public_key) {
    Failure(
        "import-key: the key is stored, but the certificate in the PKCS #12 file is not of "
        "it; the certificate was not stored",
        {{"the bundle's certificate holds another public key",
          "import the certificate issued for this key: obkeyctl cert import CERTFILE --type " +
              std::string(key_type == OB_KEY_TYPE_EXCHANGE ? "enc" : "sig")}});
  }
  auto import_cert = Require(context.api().import_cert, "OBCERT_ImportCert");
  DataBlob cert{static_cast<uint32_t>(der.size()), const_cast<uint8_t *>(der.data())};
  int32_t status =
      context.Call("OBCERT_ImportCert", [&] { return import_cert(0, &cert, 0, 0, 0, key_type); });
  context.Check("import-key: the key is stored, its certificate", status);
  return facts.subject;
}

}  // namespace obkeyctl

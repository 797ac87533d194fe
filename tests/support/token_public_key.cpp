#include "token_public_key.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <vector>

#include "obkey.h"
#include "rsa_blobs.h"

namespace obkey_test {

Pkey TokenPublicKey(const std::string &key_name) {
  std::string name = key_name;
  DataBlob name_record{0, reinterpret_cast<uint8_t *>(name.data())};
  std::vector<uint8_t> blob(OB_PUBLIC_KEY_BLOB_LEN);
  DataBlob blob_record{static_cast<uint32_t>(blob.size()), blob.data()};
  EXPECT_EQ(OB_ExportPublicKey(&name_record, &blob_record), 0) << key_name;
  std::string pem;
  EXPECT_TRUE(obkeyctl::PublicBlobToPem(blob, &pem)) << key_name;
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  Pkey key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  return key;
}

std::vector<uint8_t> SignSha1OnToken(const std::vector<uint8_t> &message) {
  std::vector<uint8_t> info = obkeyctl::Sha1DigestInfo(message);
  std::vector<uint8_t> signature(OB_RSA_BLOCK_LEN);
  uint32_t signature_len = 0;
  EXPECT_EQ(OB_AsymmetricSignData(nullptr, info.data(), static_cast<uint32_t>(info.size()),
                                  signature.data(), &signature_len, 0),
            0);
  signature.resize(signature_len);
  return signature;
}

bool OpenSslVerifiesSha1(EVP_PKEY *key, const std::vector<uint8_t> &message,
                         const std::vector<uint8_t> &signature) {
  EVP_MD_CTX *context = EVP_MD_CTX_new();
  bool ok = EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr, key) == 1 &&
            EVP_DigestVerify(context, signature.data(), signature.size(), message.data(),
                             message.size()) == 1;
  EVP_MD_CTX_free(context);
  return ok;
}

}  // namespace obkey_test

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

}  // namespace obkey_test

// Session keys from the token's generator, wrapped by the token and by an
// OpenSSL key, and unwrapped by the token and by OpenSSL.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "obkey.h"
#include "token_backend.h"
#include "token_public_key.h"
#include "token_test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using obkey_test::Pkey;
using obkey_test::TokenTestEnv;

constexpr int32_t kDevice = 5;

class SymkeyEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::PrepareTestTokens(env_.folder()));
    ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
    ASSERT_EQ(OBCA_Login(1, "12345678"), 0);
    uint8_t name1[64] = {}, name2[64] = {};
    DataBlob record1{0, name1}, record2{0, name2};
    ASSERT_EQ(OB_GenAsymmetricKey("E2E_ENC", &record1, &record2, 0, 0, OB_KEY_TYPE_EXCHANGE), 0);
    ASSERT_EQ(OB_GenSymmetricKey(CALG_3DES, &session_key_, 0), 0);
  }

  Bytes SessionKey() const { return Bytes(key_bytes_, key_bytes_ + 24); }

  Bytes Export(const DataBlob *wrapping_key) {
    DataBlob query{0, nullptr};
    EXPECT_EQ(OB_ExportSymmetricKey(&session_key_, wrapping_key, &query, CALG_3DES), 0);
    Bytes blob(query.cbData);
    DataBlob record{query.cbData, blob.data()};
    EXPECT_EQ(OB_ExportSymmetricKey(&session_key_, wrapping_key, &record, CALG_3DES), 0);
    blob.resize(record.cbData);
    return blob;
  }

  TokenTestEnv env_{"XCSP_KEY_" + std::to_string(kDevice)};
  uint8_t key_bytes_[24] = {};
  DataBlob session_key_{24, key_bytes_};
};

TEST_F(SymkeyEndToEndTest, TokenWrapUnwrapsOnTheToken) {
  std::string name = "E2E_ENC\\01";
  DataBlob wrapping_key{0, reinterpret_cast<uint8_t *>(name.data())};
  Bytes blob = Export(&wrapping_key);
  ASSERT_EQ(blob.size(), 140u);
  Bytes unwrapped(128);
  uint32_t unwrapped_len = 128;
  ASSERT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, unwrapped.data(), &unwrapped_len, blob.data() + 12,
                                 128, CALG_RSA_KEYX),
            0);
  unwrapped.resize(unwrapped_len);
  EXPECT_EQ(unwrapped, SessionKey());
}

TEST_F(SymkeyEndToEndTest, SoftwareWrapUnwrapsWithOpenSsl) {
  Pkey peer(EVP_RSA_gen(2048));
  ASSERT_TRUE(peer);
  BIGNUM *n = nullptr, *e = nullptr;
  EVP_PKEY_get_bn_param(peer.get(), OSSL_PKEY_PARAM_RSA_N, &n);
  EVP_PKEY_get_bn_param(peer.get(), OSSL_PKEY_PARAM_RSA_E, &e);
  Bytes record(516, 0);
  record[0] = 0x00;
  record[1] = 0x08;  // 2048 bits, little-endian
  BN_bn2binpad(n, record.data() + 4, 256);
  BN_bn2binpad(e, record.data() + 260, 256);
  BN_free(n);
  BN_free(e);
  DataBlob wrapping_key{static_cast<uint32_t>(record.size()), record.data()};
  Bytes blob = Export(&wrapping_key);
  ASSERT_EQ(blob.size(), 268u);

  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(peer.get(), nullptr);
  Bytes unwrapped(256);
  size_t unwrapped_len = unwrapped.size();
  ASSERT_EQ(EVP_PKEY_decrypt_init(context), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_decrypt(context, unwrapped.data(), &unwrapped_len, blob.data() + 12,
                             blob.size() - 12),
            1);
  EVP_PKEY_CTX_free(context);
  unwrapped.resize(unwrapped_len);
  EXPECT_EQ(unwrapped, SessionKey());
}

TEST_F(SymkeyEndToEndTest, PlainExportImportsBackAndEncryptsAlike) {
  Bytes blob = Export(nullptr);
  uint8_t imported_bytes[24] = {};
  DataBlob imported{0, imported_bytes};
  DataBlob blob_record{static_cast<uint32_t>(blob.size()), blob.data()};
  ASSERT_EQ(OB_ImportSymmetricKey(&blob_record, CALG_3DES, &imported), 0);
  EXPECT_EQ(Bytes(imported_bytes, imported_bytes + imported.cbData), SessionKey());

  Bytes plain(64, 0x61), with_session(64), with_imported(64);
  uint32_t len = 64;
  ASSERT_EQ(OB_SymmetricEncrypt(&session_key_, 0, 0, plain.data(), 64, with_session.data(), &len,
                                CALG_3DES, CRYPT_MODE_CBC),
            0);
  ASSERT_EQ(OB_SymmetricEncrypt(&imported, 0, 0, plain.data(), 64, with_imported.data(), &len,
                                CALG_3DES, CRYPT_MODE_CBC),
            0);
  EXPECT_EQ(with_session, with_imported);
}

TEST_F(SymkeyEndToEndTest, ExportedPublicKeyBlobReadsAsOneByOpenSsl) {
  std::string name = "E2E_ENC\\02";
  DataBlob key_name{0, reinterpret_cast<uint8_t *>(name.data())};
  Bytes blob(148);
  DataBlob record{148, blob.data()};
  ASSERT_EQ(OB_ExportPublicKey(&key_name, &record), 0);
  const unsigned char *cursor = blob.data();
  Pkey from_blob(b2i_PublicKey(&cursor, static_cast<long>(blob.size())));
  ASSERT_TRUE(from_blob) << "OpenSSL does not read the public-key blob";
  Pkey from_token = obkey_test::TokenPublicKey(name);
  ASSERT_TRUE(from_token);
  EXPECT_EQ(EVP_PKEY_eq(from_blob.get(), from_token.get()), 1);
  EXPECT_EQ(EVP_PKEY_get_bits(from_blob.get()), 1024);
}

}  // namespace

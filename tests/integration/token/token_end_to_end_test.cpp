// obkey over a token library, end to end: login, formatting and PIN change,
// key generation and RSA operations checked against OpenSSL, and key import.
// Runs over the software token and over p11token with SoftHSMv2.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "obkey.h"
#include "rsa_blobs.h"
#include "softtoken_status.h"
#include "token_backend.h"
#include "token_public_key.h"
#include "token_test_env.h"

namespace {

using obkey_test::TokenTestEnv;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kDevice = 3;
constexpr char kFormattedPin[] = "12345678";

using obkey_test::Pkey;
using obkey_test::TokenPublicKey;

class TokenEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::PrepareTestTokens(env_.folder()));
    ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
  }

  // Generates the pair of `key_type` in `container` and returns its first
  // key name.
  std::string GenerateKeyPair(const char *container, uint32_t key_type) {
    EXPECT_EQ(OBCA_Login(1, kFormattedPin), 0);
    uint8_t name1[64] = {}, name2[64] = {};
    DataBlob record1{0, name1}, record2{0, name2};
    EXPECT_EQ(OB_GenAsymmetricKey(container, &record1, &record2, 0, 0, key_type), 0);
    return reinterpret_cast<char *>(name1);
  }

  static Bytes SignOnToken(const Bytes &message) {
    Bytes signature = obkey_test::SignSha1OnToken(message);
    EXPECT_EQ(signature.size(), OB_RSA_BLOCK_LEN);
    return signature;
  }

  TokenTestEnv env_{"XCSP_KEY_" + std::to_string(kDevice)};
};

TEST_F(TokenEndToEndTest, LoginCountsWrongPinsDownToTheLock) {
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), 0);
  EXPECT_EQ(OBCA_Login(1, "87654321"), XCST_PIN_INCORRECT);
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), 0);  // a right PIN resets the counter
  if (!obkey_test::TokenCountsPinRetries()) {
    // SoftHSMv2 keeps no retry counter, and p11token adds none of its own:
    // every wrong PIN stays merely wrong and the right one still works.
    for (int i = 0; i < 11; ++i) EXPECT_EQ(OBCA_Login(1, "00000000"), XCST_PIN_INCORRECT) << i;
    EXPECT_EQ(OBCA_Login(1, kFormattedPin), 0);
    return;
  }
  for (int i = 0; i < 9; ++i) EXPECT_EQ(OBCA_Login(1, "00000000"), XCST_PIN_INCORRECT) << i;
  EXPECT_EQ(OBCA_Login(1, "00000000"), XCST_PIN_LOCKED);
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), XCST_PIN_LOCKED);
  EXPECT_EQ(OBCA_Format(kDevice, 0), 0);
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), 0);
}

TEST_F(TokenEndToEndTest, PinChangeNeedsTheCurrentPin) {
  std::string current = kFormattedPin, next = "new-pin-1", wrong = "wrong-pin";
  DataBlob current_pin{static_cast<uint32_t>(current.size()),
                       reinterpret_cast<uint8_t *>(current.data())};
  DataBlob next_pin{static_cast<uint32_t>(next.size()), reinterpret_cast<uint8_t *>(next.data())};
  DataBlob wrong_pin{static_cast<uint32_t>(wrong.size()),
                     reinterpret_cast<uint8_t *>(wrong.data())};
  EXPECT_EQ(OB_SetPVKEnabelData(0, &wrong_pin, &next_pin, 0), XCST_PIN_INCORRECT);
  EXPECT_EQ(OB_SetPVKEnabelData(0, &current_pin, &next_pin, 0), 0);
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), XCST_PIN_INCORRECT);
  EXPECT_EQ(OBCA_Login(1, next.c_str()), 0);
}

TEST_F(TokenEndToEndTest, NoStoreOrNoConfigurationMeansNoSession) {
  obkey_test::UnplugTestToken(&env_);
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), OB_E_NO_SESSION);
  env_.RemoveRegistry();
  EXPECT_EQ(OBCA_Login(1, kFormattedPin), OB_E_NO_SESSION);
}

TEST_F(TokenEndToEndTest, TokenSignatureVerifiesWithOpenSsl) {
  std::string key_name = GenerateKeyPair("E2E_SIG", OB_KEY_TYPE_SIGNATURE);
  EXPECT_EQ(key_name, "E2E_SIG\\03");
  Bytes message = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
  Bytes signature = SignOnToken(message);
  Pkey public_key = TokenPublicKey(key_name);
  ASSERT_TRUE(public_key);
  EXPECT_TRUE(obkey_test::OpenSslVerifiesSha1(public_key.get(), message, signature));
  message[0] ^= 1;
  EXPECT_FALSE(obkey_test::OpenSslVerifiesSha1(public_key.get(), message, signature));

  // The token's own check gives back the DigestInfo that was signed.
  message[0] ^= 1;
  Bytes block(OB_RSA_BLOCK_LEN);
  uint32_t block_len = 0;
  ASSERT_EQ(OB_AsymmetricVerifySign(nullptr, block.data(), &block_len, signature.data(),
                                    static_cast<uint32_t>(signature.size()), 0),
            0);
  block.resize(block_len);
  EXPECT_EQ(block, obkeyctl::Sha1DigestInfo(message));
}

TEST_F(TokenEndToEndTest, OpenSslEncryptionDecryptsOnTheToken) {
  std::string key_name = GenerateKeyPair("E2E_ENC", OB_KEY_TYPE_EXCHANGE);
  Pkey public_key = TokenPublicKey(key_name);
  ASSERT_TRUE(public_key);
  Bytes plain = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'k', 'e', 'y'};
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(public_key.get(), nullptr);
  ASSERT_EQ(EVP_PKEY_encrypt_init(context), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING), 1);
  Bytes cipher(256);
  size_t cipher_len = cipher.size();
  ASSERT_EQ(EVP_PKEY_encrypt(context, cipher.data(), &cipher_len, plain.data(), plain.size()), 1);
  EVP_PKEY_CTX_free(context);
  cipher.resize(cipher_len);

  Bytes decrypted(OB_RSA_BLOCK_LEN);
  uint32_t decrypted_len = 0;
  ASSERT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, decrypted.data(), &decrypted_len, cipher.data(),
                                 static_cast<uint32_t>(cipher.size()), CALG_RSA_KEYX),
            0);
  decrypted.resize(decrypted_len);
  EXPECT_EQ(decrypted, plain);

  // And the token's own encryption round-trips through its decryption.
  Bytes wrapped(OB_RSA_BLOCK_LEN);
  uint32_t wrapped_len = OB_RSA_BLOCK_LEN;
  ASSERT_EQ(OB_AsymmetricEncrypt(nullptr, 0, 0, wrapped.data(), &wrapped_len, plain.data(),
                                 static_cast<uint32_t>(plain.size()), CALG_RSA_KEYX),
            0);
  decrypted.assign(OB_RSA_BLOCK_LEN, 0);
  ASSERT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, decrypted.data(), &decrypted_len, wrapped.data(),
                                 wrapped_len, CALG_RSA_KEYX),
            0);
  decrypted.resize(decrypted_len);
  EXPECT_EQ(decrypted, plain);
}

TEST_F(TokenEndToEndTest, ImportedOpenSslKeySignsOnTheToken) {
  ASSERT_EQ(OB_CreateContainer("IMPORT_SIG"), 0);
  Pkey key(EVP_RSA_gen(1024));
  ASSERT_TRUE(key);
  BIO *bio = BIO_new(BIO_s_mem());
  ASSERT_EQ(PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
  char *pem_text = nullptr;
  long pem_len = BIO_get_mem_data(bio, &pem_text);
  obkey::SecretBytes pem(pem_text, pem_text + pem_len), blob;
  BIO_free(bio);
  ASSERT_TRUE(obkeyctl::PemToPrivateBlob(pem, &blob));

  ASSERT_EQ(OBCA_Login(1, kFormattedPin), 0);
  DataBlob record{static_cast<uint32_t>(blob.size()), blob.data()};
  int handle = 0;
  ASSERT_EQ(OB_ImportPrivateKey(&handle, &record, OB_KEY_TYPE_SIGNATURE, 0, 0), 0);

  Bytes message = {'i', 'm', 'p', 'o', 'r', 't', 'e', 'd'};
  Bytes signature = SignOnToken(message);
  EXPECT_TRUE(obkey_test::OpenSslVerifiesSha1(key.get(), message, signature));
}

TEST_F(TokenEndToEndTest, PrivateKeyOperationsNeedTheLogin) {
  GenerateKeyPair("LOCKED_SIG", OB_KEY_TYPE_SIGNATURE);
  ASSERT_EQ(OBCA_Format(kDevice, 0), 0);  // formatting forgets the login
  uint8_t name1[64] = {}, name2[64] = {};
  DataBlob record1{0, name1}, record2{0, name2};
  EXPECT_EQ(OB_GenAsymmetricKey("LOCKED_SIG", &record1, &record2, 0, 0, 2), XCST_NOT_LOGGED_IN);
}

}  // namespace

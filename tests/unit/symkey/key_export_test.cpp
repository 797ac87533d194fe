// Key blobs: plain, wrapped by the token's exchange key, and wrapped in
// software under a caller's RSA public key.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "hex.h"
#include "obkey.h"
#include "rsa_public.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fake::CallsOf;
using obkey::test::FromHex;

// The 12 header bytes followed by `tail`.
Bytes Blob(std::initializer_list<uint8_t> header, const Bytes &tail) {
  Bytes blob(header.size() + tail.size());
  std::copy(header.begin(), header.end(), blob.begin());
  std::copy(tail.begin(), tail.end(), blob.begin() + static_cast<long>(header.size()));
  return blob;
}

class KeyExportTest : public obkey_test::FakeTokenTest {
 protected:
  std::string exchange_name_ = "ANY_CONTAINER_NAME_LONGER_THAN_16\\01";
  DataBlob token_wrap_{0, reinterpret_cast<uint8_t *>(exchange_name_.data())};
};

TEST_F(KeyExportTest, PlainBlobCarriesTheHeaderAndTheKey) {
  Bytes key_bytes(24);
  for (size_t i = 0; i < 24; ++i) key_bytes[i] = static_cast<uint8_t>(i + 1);
  DataBlob key{24, key_bytes.data()};
  Bytes out(35, 0xEE);
  DataBlob blob{35, out.data()};
  ASSERT_EQ(OB_ExportSymmetricKey(&key, nullptr, &blob, CALG_3DES), 0);
  EXPECT_EQ(blob.cbData, 36u);
  EXPECT_EQ(out, Bytes(35, 0xEE));

  out.assign(36, 0xEE);
  blob = {36, out.data()};
  ASSERT_EQ(OB_ExportSymmetricKey(&key, nullptr, &blob, CALG_3DES), 0);
  EXPECT_EQ(out, Blob({1, 2, 0, 0, 0x03, 0x66, 0, 0, 0, 0, 0, 0}, key_bytes));

  Bytes imported(24);
  DataBlob imported_key{0, imported.data()};
  ASSERT_EQ(OB_ImportSymmetricKey(&blob, CALG_3DES, &imported_key), 0);
  EXPECT_EQ(imported_key.cbData, 24u);
  EXPECT_EQ(imported, key_bytes);
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(KeyExportTest, KeyUsedForTripleDesIsExportedWithItsParityAdjusted) {
  Bytes key_bytes = {0x52, 0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0E,
                     0x62, 0x12, 0x14, 0x16, 0x18, 0x1A, 0x1C, 0x1E};
  DataBlob key{16, key_bytes.data()};
  Bytes plain(8), cipher(8);
  uint32_t len = 8;
  ASSERT_EQ(OB_SymmetricEncrypt(&key, 0, 0, plain.data(), 8, cipher.data(), &len, CALG_3DES,
                                CRYPT_MODE_ECB),
            0);
  Bytes out(28);
  DataBlob blob{28, out.data()};
  ASSERT_EQ(OB_ExportSymmetricKey(&key, nullptr, &blob, CALG_3DES), 0);
  Bytes odd = {0x52, 0x02, 0x04, 0x07, 0x08, 0x0B, 0x0D, 0x0E,
               0x62, 0x13, 0x15, 0x16, 0x19, 0x1A, 0x1C, 0x1F};
  EXPECT_EQ(Bytes(out.begin() + 12, out.end()), odd);
}

TEST_F(KeyExportTest, AlgorithmIdIsCopiedUnchecked) {
  uint8_t key_byte = 9;
  DataBlob key{1, &key_byte};
  Bytes out(13);
  DataBlob blob{13, out.data()};
  ASSERT_EQ(OB_ExportSymmetricKey(&key, nullptr, &blob, 0x12345678), 0);
  EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 8), Bytes({0x78, 0x56, 0x34, 0x12}));
}

TEST_F(KeyExportTest, TokenPathPadsWithTheRandomBytesCyclically) {
  Bytes random = {0x10, 0x11, 0x00, 0x13, 0x14, 0x15, 0x16, 0x17,
                  0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x00};
  fake::QueueOutput("XC_GenRandom", random);
  fake::QueueOutput("XC_GetContainerParam", {1, 0, 0, 0});
  fake::QueueOutput("XC_RSAEncrypt", Bytes(128, 0xC7));
  Bytes key_bytes(16, 0x4B);
  DataBlob key{16, key_bytes.data()};
  Bytes out(140);
  DataBlob blob{140, out.data()};
  ASSERT_EQ(OB_ExportSymmetricKey(&key, &token_wrap_, &blob, CALG_3DES), 0);

  EXPECT_EQ(CallsOf("XC_GenRandom"), std::vector<std::string>({"XC_GenRandom(17, 16)"}));
  const std::vector<std::string> encrypt = fake::ArgumentsOf("XC_RSAEncrypt");
  ASSERT_EQ(encrypt.size(), 5u);
  Bytes block = FromHex(encrypt[1]);
  ASSERT_EQ(block.size(), 128u);
  EXPECT_EQ(block[0], 0x00);
  EXPECT_EQ(block[1], 0x02);
  for (size_t i = 2; i <= 110; ++i) {
    uint8_t r = random[i % 16];
    EXPECT_EQ(block[i], r != 0 ? r : 0xFF) << i;
  }
  EXPECT_EQ(block[111], 0x00);
  EXPECT_EQ(Bytes(block.begin() + 112, block.end()), key_bytes);
  EXPECT_EQ(encrypt[2], "128");

  EXPECT_EQ(out, Blob({1, 2, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xA4, 0, 0}, Bytes(128, 0xC7)));
}

TEST_F(KeyExportTest, TokenPathLimitsAndQueries) {
  Bytes key_bytes(118, 0x4B);
  Bytes out(140, 0xEE);
  DataBlob blob{0, nullptr};
  DataBlob key{118, key_bytes.data()};
  ASSERT_EQ(OB_ExportSymmetricKey(&key, &token_wrap_, &blob, CALG_RC4), 0);
  EXPECT_EQ(blob.cbData, 140u);
  EXPECT_TRUE(fake::Calls().empty());

  blob = {140, out.data()};
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &token_wrap_, &blob, CALG_RC4), -1);
  EXPECT_EQ(blob.cbData, 140u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 12),
            Bytes({1, 2, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0xA4, 0, 0}));
  EXPECT_EQ(out[12], 0xEE);
  EXPECT_TRUE(fake::Calls().empty());

  fake::QueueOutput("XC_GetContainerParam", {1, 0, 0, 0});
  key.cbData = 117;
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &token_wrap_, &blob, CALG_RC4), 0);
}

TEST_F(KeyExportTest, TokenPathStopsAtAFailedDrawOrEncryption) {
  Bytes key_bytes(16, 0x4B), out(140);
  DataBlob key{16, key_bytes.data()}, blob{140, out.data()};
  fake::QueueStatus("XC_GenRandom", 0x70002);
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &token_wrap_, &blob, CALG_3DES), 0x70002);
  EXPECT_TRUE(CallsOf("XC_RSAEncrypt").empty());

  fake::Reset();
  fake::QueueOutput("XC_GetContainerParam", {1, 0, 0, 0});
  fake::QueueStatus("XC_RSAEncrypt", 0x70003);
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &token_wrap_, &blob, CALG_3DES), 0x70003);
}

TEST_F(KeyExportTest, KeyNameOfAnotherPairIsRefused) {
  std::string other = "C_ENC\\02";
  DataBlob wrap{0, reinterpret_cast<uint8_t *>(other.data())};
  Bytes key_bytes(16), out(300);
  DataBlob key{16, key_bytes.data()}, blob{300, out.data()};
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &wrap, &blob, CALG_3DES), -1);
  EXPECT_EQ(blob.cbData, 300u);
  EXPECT_EQ(OB_ExportSymmetricKey(nullptr, &wrap, &blob, CALG_3DES), -1);
  DataBlob no_bytes{16, nullptr};
  EXPECT_EQ(OB_ExportSymmetricKey(&no_bytes, nullptr, &blob, CALG_3DES), -1);
  EXPECT_EQ(OB_ExportSymmetricKey(&key, nullptr, nullptr, CALG_3DES), -1);
  EXPECT_TRUE(fake::Calls().empty());
}

// An OpenSSL key and the same key as a caller's RsaPublicKey record.
struct SoftwareWrapKey {
  EVP_PKEY *pkey = nullptr;
  obkey::RsaPublicKey record{};
  explicit SoftwareWrapKey(unsigned bits) {
    pkey = EVP_RSA_gen(bits);
    BIGNUM *n = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e);
    record.bits = bits;
    BN_bn2binpad(n, record.modulus, sizeof(record.modulus));
    BN_bn2binpad(e, record.exponent, sizeof(record.exponent));
    BN_free(n);
    BN_free(e);
  }
  ~SoftwareWrapKey() { EVP_PKEY_free(pkey); }

  Bytes Decrypt(const uint8_t *cipher, size_t len) const {
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes plain(512);
    size_t plain_len = plain.size();
    bool ok = EVP_PKEY_decrypt_init(context) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_decrypt(context, plain.data(), &plain_len, cipher, len) == 1;
    EVP_PKEY_CTX_free(context);
    plain.resize(ok ? plain_len : 0);
    return plain;
  }
};

TEST_F(KeyExportTest, SoftwarePathWrapsForOpenSsl) {
  for (unsigned bits : {1024u, 2048u}) {
    fake::Reset();
    SoftwareWrapKey wrap_key(bits);
    DataBlob wrap{0, reinterpret_cast<uint8_t *>(&wrap_key.record)};
    Bytes key_bytes(24, 0x3C);
    DataBlob key{24, key_bytes.data()};
    DataBlob query{0, nullptr};
    ASSERT_EQ(OB_ExportSymmetricKey(&key, &wrap, &query, CALG_3DES), 0);
    uint32_t expected_len = 12 + bits / 8;
    EXPECT_EQ(query.cbData, expected_len);
    EXPECT_TRUE(fake::Calls().empty());  // the size is known without the token

    fake::QueueOutput("XC_GenRandom", Bytes(256, 0x5D));
    Bytes out(expected_len);
    DataBlob blob{expected_len, out.data()};
    ASSERT_EQ(OB_ExportSymmetricKey(&key, &wrap, &blob, CALG_3DES), 0);
    EXPECT_EQ(blob.cbData, expected_len);
    EXPECT_EQ(CallsOf("XC_GenRandom"), std::vector<std::string>({"XC_GenRandom(17, 256)"}));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 12),
              Bytes({1, 2, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xA4, 0, 0}));
    EXPECT_EQ(wrap_key.Decrypt(out.data() + 12, out.size() - 12), key_bytes);
  }
}

TEST_F(KeyExportTest, SoftwarePathRefusals) {
  SoftwareWrapKey wrap_key(1024);
  DataBlob wrap{0, reinterpret_cast<uint8_t *>(&wrap_key.record)};
  Bytes key_bytes(118, 1), out(300, 0xEE);
  DataBlob key{118, key_bytes.data()}, blob{300, out.data()};
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &wrap, &blob, CALG_RC4), -1);  // 118 + 11 > 128
  key.cbData = 0;
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &wrap, &blob, CALG_RC4), -1);
  key.cbData = 16;
  wrap_key.record.bits = 4096;
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &wrap, &blob, CALG_RC4), -1);
  DataBlob no_record{0, nullptr};
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &no_record, &blob, CALG_RC4), -1);
  EXPECT_EQ(blob.cbData, 300u);
  EXPECT_EQ(out, Bytes(300, 0xEE));
  EXPECT_TRUE(fake::Calls().empty());

  wrap_key.record.bits = 1024;
  fake::QueueStatus("XC_GenRandom", 0x70004);
  EXPECT_EQ(OB_ExportSymmetricKey(&key, &wrap, &blob, CALG_RC4), 0x70004);
  EXPECT_EQ(out, Bytes(300, 0xEE));
}

}  // namespace

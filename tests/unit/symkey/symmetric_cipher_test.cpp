// Software encryption through the exports: triple DES in four modes against
// NIST vectors and OpenSSL, RC4 against RFC 6229, and the contract cases.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "obkey.h"
#include "vector_file.h"

namespace {

using Bytes = std::vector<uint8_t>;
using obkey::test::ReadVectorFile;
using obkey::test::VectorPath;
using obkey::test::VectorRecord;

int32_t Crypt(bool encrypt, Bytes &key, const Bytes &in, Bytes *out, uint32_t alg, uint32_t mode,
              uint32_t key_len = 0) {
  DataBlob key_record{key_len ? key_len : static_cast<uint32_t>(key.size()), key.data()};
  out->assign(in.size(), 0);
  uint32_t out_len = static_cast<uint32_t>(out->size());
  auto call = encrypt ? OB_SymmetricEncrypt : OB_SymmetryDecrypt;
  return call(&key_record, 0, 0, in.data(), static_cast<uint32_t>(in.size()), out->data(), &out_len,
              alg, mode);
}

Bytes RandomBytes(size_t n) {
  Bytes bytes(n);
  RAND_bytes(bytes.data(), static_cast<int>(n));
  return bytes;
}

// A random triple-DES key that no weak-key prefix refuses.
Bytes RandomTripleDesKey(size_t len) {
  Bytes key = RandomBytes(len);
  for (size_t i = 0; i < len; i += 8) key[i] = 0x52;
  return key;
}

Bytes OpenSsl(const EVP_CIPHER *cipher, bool encrypt, const Bytes &key, const Bytes &in) {
  EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
  uint8_t zero_vector[8] = {};
  EVP_CipherInit_ex(context, cipher, nullptr, key.data(), zero_vector, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(context, 0);
  Bytes out(in.size() + 16);
  int len = 0, tail = 0;
  EVP_CipherUpdate(context, out.data(), &len, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(context, out.data() + len, &tail);
  EVP_CIPHER_CTX_free(context);
  out.resize(static_cast<size_t>(len + tail));
  return out;
}

struct ModeCase {
  uint32_t mode;
  const EVP_CIPHER *(*three_key)();
  const EVP_CIPHER *(*two_key)();
  bool any_length;
};
const ModeCase kModes[] = {
    {CRYPT_MODE_CBC, EVP_des_ede3_cbc, EVP_des_ede_cbc, false},
    {CRYPT_MODE_ECB, EVP_des_ede3_ecb, EVP_des_ede_ecb, false},
    {CRYPT_MODE_OFB, EVP_des_ede3_ofb, EVP_des_ede_ofb, true},
    {CRYPT_MODE_CFB, EVP_des_ede3_cfb64, EVP_des_ede_cfb64, true},
};

TEST(SymmetricCipherTest, TripleDesModesMatchOpenSslWithAZeroVector) {
  for (const ModeCase &m : kModes) {
    // A key longer than 24 bytes is the two-key form of its first 16 bytes.
    for (size_t key_len : {16u, 24u, 25u, 32u}) {
      for (size_t len : {0u, 8u, 16u, 64u, 1000u, 13u, 1u, 65u}) {
        if (!m.any_length && len % 8 != 0) continue;
        SCOPED_TRACE(testing::Message()
                     << "mode " << m.mode << " key " << key_len << " len " << len);
        Bytes key = RandomTripleDesKey(key_len);
        Bytes plain = RandomBytes(len), cipher, back;
        ASSERT_EQ(Crypt(true, key, plain, &cipher, CALG_3DES, m.mode), 0);
        const EVP_CIPHER *evp = key_len == 24 ? m.three_key() : m.two_key();
        EXPECT_EQ(cipher, OpenSsl(evp, true, key, plain));
        ASSERT_EQ(Crypt(false, key, cipher, &back, CALG_3DES, m.mode), 0);
        EXPECT_EQ(back, plain);
      }
    }
  }
}

TEST(SymmetricCipherTest, EcbThroughTheExportsMatchesNistVectors) {
  for (const char *file : {"tdes/TECBMMT2.rsp", "tdes/TECBMMT3.rsp"}) {
    std::vector<VectorRecord> records;
    std::string error;
    ASSERT_TRUE(ReadVectorFile(VectorPath(file), &records, &error)) << error;
    int checked = 0;
    for (const VectorRecord &r : records) {
      if (!r.Has("KEY1")) continue;
      Bytes key = r.Bytes("KEY1"), key2 = r.Bytes("KEY2"), key3 = r.Bytes("KEY3");
      key.insert(key.end(), key2.begin(), key2.end());
      key.insert(key.end(), key3.begin(), key3.end());
      bool encrypt = r.section == "ENCRYPT";
      Bytes in = r.Bytes(encrypt ? "PLAINTEXT" : "CIPHERTEXT"), out;
      ASSERT_EQ(Crypt(encrypt, key, in, &out, CALG_3DES, CRYPT_MODE_ECB), 0) << file << r.line;
      EXPECT_EQ(out, r.Bytes(encrypt ? "CIPHERTEXT" : "PLAINTEXT")) << file << ":" << r.line;
      ++checked;
    }
    EXPECT_GE(checked, 10) << file;
  }
}

TEST(SymmetricCipherTest, Rc4MatchesRfc6229) {
  std::vector<VectorRecord> records;
  std::string error;
  ASSERT_TRUE(ReadVectorFile(VectorPath("rc4_rfc6229.txt"), &records, &error)) << error;
  ASSERT_GE(records.size(), 20u);
  for (const VectorRecord &r : records) {
    Bytes key = r.Bytes("Key");
    size_t offset = std::stoul(r.Text("Offset"));
    Bytes zeros(offset + 16, 0), out;
    ASSERT_EQ(Crypt(true, key, zeros, &out, CALG_RC4, 0), 0);
    EXPECT_EQ(Bytes(out.begin() + offset, out.end()), r.Bytes("Keystream")) << r.line;
  }
}

TEST(SymmetricCipherTest, Rc4RoundTripsAndLeavesTheCapacity) {
  Bytes key = {1, 2, 3, 4, 5, 6, 7};
  Bytes plain = RandomBytes(50);
  Bytes out(100, 0xEE), back(100);
  DataBlob key_record{7, key.data()};
  uint32_t out_len = 100;
  ASSERT_EQ(
      OB_SymmetricEncrypt(&key_record, 0, 0, plain.data(), 50, out.data(), &out_len, CALG_RC4, 99),
      0);
  EXPECT_EQ(out_len, 100u);
  EXPECT_EQ(out[50], 0xEE);
  uint32_t back_len = 100;
  ASSERT_EQ(
      OB_SymmetryDecrypt(&key_record, 0, 0, out.data(), 50, back.data(), &back_len, CALG_RC4, 0),
      0);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 50), plain);
}

TEST(SymmetricCipherTest, SizeQueriesAnswerTheInputLength) {
  Bytes key = RandomTripleDesKey(24), in(37);
  DataBlob key_record{24, key.data()};
  for (uint32_t alg : {CALG_RC4, CALG_3DES, OB_ALG_KEY_AREA}) {
    uint32_t len = 0;
    EXPECT_EQ(OB_SymmetricEncrypt(&key_record, 0, 0, in.data(), 37, nullptr, &len, alg, 1), 0);
    EXPECT_EQ(len, 37u);
    uint8_t small[36];
    len = 36;
    EXPECT_EQ(OB_SymmetryDecrypt(&key_record, 0, 0, in.data(), 37, small, &len, alg, 1), 0);
    EXPECT_EQ(len, 37u);
  }
}

TEST(SymmetricCipherTest, RefusalsWriteNothing) {
  Bytes key = RandomTripleDesKey(24), in(16, 0x11);
  Bytes out(16, 0xEE);
  struct Case {
    const char *what;
    uint32_t key_len;
    bool null_key_bytes;
    uint32_t alg;
    uint32_t mode;
    int32_t status;
  };
  const Case cases[] = {
      {"unknown algorithm", 24, false, 0x6601, 1, -1},
      {"mode 0", 24, false, CALG_3DES, 0, -1},
      {"mode 5", 24, false, CALG_3DES, 5, -1},
      {"id 9 has no cipher", 16, false, OB_ALG_KEY_AREA, 1, -1},
      {"short triple-DES key", 15, false, CALG_3DES, 1, -1},
      {"empty RC4 key", 0, false, CALG_RC4, 1, -1},
      {"no key bytes", 24, true, CALG_3DES, 1, -1},
  };
  for (const Case &c : cases) {
    DataBlob key_record{c.key_len, c.null_key_bytes ? nullptr : key.data()};
    uint32_t len = 16;
    EXPECT_EQ(
        OB_SymmetricEncrypt(&key_record, 0, 0, in.data(), 16, out.data(), &len, c.alg, c.mode),
        c.status)
        << c.what;
    EXPECT_EQ(len, 16u) << c.what;
    EXPECT_EQ(out, Bytes(16, 0xEE)) << c.what;
  }
  uint32_t len = 16;
  EXPECT_EQ(OB_SymmetricEncrypt(nullptr, 0, 0, in.data(), 16, out.data(), &len, CALG_RC4, 0), -1);
  DataBlob key_record{24, key.data()};
  EXPECT_EQ(OB_SymmetricEncrypt(&key_record, 0, 0, in.data(), 16, out.data(), nullptr, CALG_RC4, 0),
            -1);
  EXPECT_EQ(out, Bytes(16, 0xEE));
}

TEST(SymmetricCipherTest, BlockModesRefusePartialBlocksLeavingThePlainCopy) {
  Bytes key = RandomTripleDesKey(24), in = RandomBytes(13), out;
  for (uint32_t mode : {CRYPT_MODE_CBC, CRYPT_MODE_ECB}) {
    EXPECT_EQ(Crypt(true, key, in, &out, CALG_3DES, mode), CIPHER_E_LENGTH);
    EXPECT_EQ(out, in);
  }
  for (uint32_t mode : {CRYPT_MODE_OFB, CRYPT_MODE_CFB}) {
    EXPECT_EQ(Crypt(true, key, in, &out, CALG_3DES, mode), 0);
    EXPECT_NE(out, in);
  }
}

TEST(SymmetricCipherTest, KeyIsLeftWithOddParityAndWeakPartsAreRefused) {
  Bytes key = RandomTripleDesKey(24);
  for (auto &b : key) b &= 0xFE;  // even parity wherever the bits allow
  Bytes in(8), out;
  ASSERT_EQ(Crypt(true, key, in, &out, CALG_3DES, CRYPT_MODE_ECB), 0);
  for (uint8_t b : key) EXPECT_EQ(__builtin_popcount(b) % 2, 1);

  Bytes weak = RandomTripleDesKey(24);
  weak[8] = weak[9] = weak[10] = weak[11] = 0x1F;  // K2 starts like a weak key
  Bytes untouched(8, 0xEE);
  DataBlob key_record{24, weak.data()};
  uint32_t len = 8;
  EXPECT_EQ(OB_SymmetricEncrypt(&key_record, 0, 0, in.data(), 8, untouched.data(), &len, CALG_3DES,
                                CRYPT_MODE_ECB),
            CIPHER_E_KEY);
  EXPECT_EQ(untouched, Bytes(8, 0xEE));
  EXPECT_EQ(len, 8u);
}

TEST(SymmetricCipherTest, TwoKeyEqualsThreeKeyWithTheFirstPartRepeated) {
  Bytes key16 = RandomTripleDesKey(16);
  Bytes key24 = key16;
  key24.insert(key24.end(), key16.begin(), key16.begin() + 8);
  Bytes plain = RandomBytes(40), out16, out24;
  for (uint32_t mode : {CRYPT_MODE_CBC, CRYPT_MODE_ECB, CRYPT_MODE_OFB, CRYPT_MODE_CFB}) {
    ASSERT_EQ(Crypt(true, key16, plain, &out16, CALG_3DES, mode), 0);
    ASSERT_EQ(Crypt(true, key24, plain, &out24, CALG_3DES, mode), 0);
    EXPECT_EQ(out16, out24) << mode;
  }
}

TEST(SymmetricCipherTest, EveryCallStartsFromTheZeroVector) {
  Bytes key = RandomTripleDesKey(24), plain = RandomBytes(16), whole, first, second;
  ASSERT_EQ(Crypt(true, key, plain, &whole, CALG_3DES, CRYPT_MODE_CBC), 0);
  ASSERT_EQ(
      Crypt(true, key, Bytes(plain.begin(), plain.begin() + 8), &first, CALG_3DES, CRYPT_MODE_CBC),
      0);
  ASSERT_EQ(
      Crypt(true, key, Bytes(plain.begin() + 8, plain.end()), &second, CALG_3DES, CRYPT_MODE_CBC),
      0);
  EXPECT_EQ(Bytes(whole.begin(), whole.begin() + 8), first);
  EXPECT_NE(Bytes(whole.begin() + 8, whole.end()), second);
}

}  // namespace

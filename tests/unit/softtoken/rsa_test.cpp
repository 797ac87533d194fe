// RSA keys on the token, checked against OpenSSL with the same key.
#include <openssl/rand.h>

#include "rsa_test_keys.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using Block = std::vector<uint8_t>;

// SslOp runs one OpenSSL RSA operation with the given padding.
Block SslOp(EVP_PKEY *key, bool private_op, bool sign_or_encrypt, int padding, const Block &in) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                  EVP_PKEY_CTX_free);
  Block out(256);
  size_t out_len = out.size();
  int ok = 0;
  if (private_op && sign_or_encrypt) {
    ok = EVP_PKEY_sign_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
         EVP_PKEY_sign(ctx.get(), out.data(), &out_len, in.data(), in.size()) == 1;
  } else if (private_op) {
    ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
         EVP_PKEY_decrypt(ctx.get(), out.data(), &out_len, in.data(), in.size()) == 1;
  } else {
    ok = EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
         EVP_PKEY_encrypt(ctx.get(), out.data(), &out_len, in.data(), in.size()) == 1;
  }
  EXPECT_TRUE(ok);
  out.resize(ok ? out_len : 0);
  return out;
}

Block Pattern(size_t len, uint8_t seed) {
  Block b(len);
  for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

class RsaTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    session_ = LoggedInSession();
    container_ = Container(session_, "SIG");
  }

  // Runs a token operation; returns its output, or its status in `*status`.
  template <typename Op>
  Block Run(Op op, const Block &in, uint32_t key_type, int32_t *status = nullptr) {
    Block out(XC_RSA_BLOCK);
    uint32_t len = XC_RSA_BLOCK;
    int32_t result =
        op(container_, in.data(), static_cast<uint32_t>(in.size()), out.data(), &len, key_type);
    if (status != nullptr) {
      *status = result;
    } else {
      EXPECT_EQ(result, 0);
    }
    out.resize(result == 0 ? len : 0);
    return out;
  }

  Pkey ImportKey(uint32_t key_type, size_t extra_zeros = 0) {
    Pkey key = NewRsaKey(1024);
    Block der = LooseRsaDer(key.get(), extra_zeros);
    EXPECT_EQ(
        WriteRSAKey(container_, 0, 0, der.data(), static_cast<uint32_t>(der.size()), key_type), 0);
    return key;
  }

  XcHandle session_ = 0;
  XcHandle container_ = 0;
};

TEST_F(RsaTest, ImportedKeyAgreesWithOpenSsl) {
  Pkey key = ImportKey(XC_KEY_SIGNATURE, 1);
  const Block digest_info = Pattern(35, 1);

  uint8_t pub[XC_PUBKEY_SIZE + 1];
  pub[XC_PUBKEY_SIZE] = 0x5C;
  uint32_t pub_len = XC_PUBKEY_SIZE;
  ASSERT_EQ(ReadRSAPubKey(container_, pub, &pub_len, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(pub_len, XC_PUBKEY_SIZE);
  EXPECT_EQ(Block(pub, pub + 7), (Block{0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x01}));
  EXPECT_EQ(Block(pub + 7, pub + 135), Part(key.get(), OSSL_PKEY_PARAM_RSA_N, 128));
  EXPECT_EQ(pub[XC_PUBKEY_SIZE], 0x5C);

  // PKCS #1 type-1 signing is deterministic, so the bytes must be OpenSSL's.
  const Block ssl_signature = SslOp(key.get(), true, true, RSA_PKCS1_PADDING, digest_info);
  EXPECT_EQ(Run(RSASign, digest_info, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG), ssl_signature);
  EXPECT_EQ(Run(RSASign, digest_info, XC_KEY_SIGNATURE), ssl_signature);
  EXPECT_EQ(Run(RSAEncrypt, ssl_signature, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG), digest_info);

  const Block secret = Pattern(24, 9);
  EXPECT_EQ(SslOp(key.get(), true, false, RSA_PKCS1_PADDING, Run(RSAEncrypt, secret, 2)), secret);
  EXPECT_EQ(Run(RSADecrypt, SslOp(key.get(), false, true, RSA_PKCS1_PADDING, secret), 2), secret);
}

TEST_F(RsaTest, WholeBlocksGoRawAndBadPaddingComesBackRaw) {
  Pkey key = ImportKey(XC_KEY_EXCHANGE);
  Block block = Pattern(128, 3);
  block[0] = 0x00;  // below any 1024-bit modulus
  const Block signature = Run(RSASign, block, XC_KEY_EXCHANGE + XC_KEY_SIGN_FLAG);
  EXPECT_EQ(SslOp(key.get(), false, true, RSA_NO_PADDING, signature), block);
  // Neither padding type is valid in `block`, so both inverse operations
  // return the whole recovered block.
  EXPECT_EQ(Run(RSAEncrypt, signature, XC_KEY_EXCHANGE + XC_KEY_SIGN_FLAG), block);
  EXPECT_EQ(Run(RSADecrypt, Run(RSAEncrypt, block, XC_KEY_EXCHANGE), XC_KEY_EXCHANGE), block);
  // A ciphertext that lost its leading zero bytes is still one block.
  Block ciphertext = SslOp(key.get(), false, true, RSA_NO_PADDING, block);
  size_t zeros = 0;
  while (ciphertext[zeros] == 0) ++zeros;
  ciphertext.erase(ciphertext.begin(), ciphertext.begin() + static_cast<std::ptrdiff_t>(zeros));
  EXPECT_EQ(Run(RSADecrypt, ciphertext, XC_KEY_EXCHANGE), block);
}

TEST_F(RsaTest, BlockRulesRefuseOtherLengthsAndLargeBlocks) {
  ImportKey(XC_KEY_EXCHANGE);
  struct Case {
    const char *what;
    int32_t (*op)(XcHandle, const uint8_t *, uint32_t, uint8_t *, uint32_t *, uint32_t);
    size_t len;
    uint8_t fill;
    int32_t expected;
  };
  const Case cases[] = {
      {"encrypt 117", RSAEncrypt, 117, 1, 0},
      {"encrypt 118", RSAEncrypt, 118, 1, XCST_DATA_LENGTH},
      {"encrypt 127", RSAEncrypt, 127, 1, XCST_DATA_LENGTH},
      {"encrypt 129", RSAEncrypt, 129, 1, XCST_DATA_LENGTH},
      {"encrypt block above n", RSAEncrypt, 128, 0xFF, XCST_DATA_RANGE},
      {"sign 0", RSASign, 0, 0, 0},
      {"sign 118", RSASign, 118, 1, XCST_DATA_LENGTH},
      {"sign block above n", RSASign, 128, 0xFF, XCST_DATA_RANGE},
      {"decrypt 0", RSADecrypt, 0, 1, XCST_DATA_LENGTH},
      {"decrypt 129", RSADecrypt, 129, 1, XCST_DATA_LENGTH},
      {"decrypt block above n", RSADecrypt, 128, 0xFF, XCST_DATA_RANGE},
  };
  for (const Case &c : cases) {
    int32_t status = -1;
    Block out = Run(c.op, Block(c.len, c.fill), XC_KEY_EXCHANGE, &status);
    EXPECT_EQ(status, c.expected) << c.what;
    if (c.expected == 0) {
      EXPECT_EQ(out.size(), 128u) << c.what;
    }
  }
}

TEST_F(RsaTest, ShortOutputBuffersReportTheLengthAndStayUntouched) {
  ImportKey(XC_KEY_EXCHANGE);
  const Block in = Pattern(20, 5);
  for (auto op : {RSAEncrypt, RSASign}) {
    Block out(128, 0xA5);
    uint32_t len = 127;
    EXPECT_EQ(op(container_, in.data(), 20, out.data(), &len, XC_KEY_EXCHANGE),
              XCST_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 128u);
    EXPECT_EQ(out, Block(128, 0xA5));
    EXPECT_EQ(op(container_, in.data(), 20, out.data(), nullptr, XC_KEY_EXCHANGE),
              XCST_BAD_ARGUMENT);
  }
  // Decryption needs room only for the payload it recovers.
  const Block ciphertext = Run(RSAEncrypt, in, XC_KEY_EXCHANGE);
  Block out(19, 0xA5);
  uint32_t len = 19;
  EXPECT_EQ(RSADecrypt(container_, ciphertext.data(), 128, out.data(), &len, XC_KEY_EXCHANGE),
            XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 20u);
  EXPECT_EQ(out, Block(19, 0xA5));

  uint8_t pub[XC_PUBKEY_SIZE];
  len = XC_PUBKEY_SIZE - 1;
  EXPECT_EQ(ReadRSAPubKey(container_, pub, &len, XC_KEY_EXCHANGE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_PUBKEY_SIZE);
}

TEST_F(RsaTest, GeneratedKeysWorkAndPersist) {
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  const Block digest_info = Pattern(51, 2);
  const Block signature = Run(RSASign, digest_info, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG);
  EXPECT_EQ(Run(RSAEncrypt, signature, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG), digest_info);
  const Block secret = Pattern(16, 4);
  EXPECT_EQ(Run(RSADecrypt, Run(RSAEncrypt, secret, XC_KEY_SIGNATURE), XC_KEY_SIGNATURE), secret);

  Disconnect(session_);
  session_ = Connect();
  ASSERT_EQ(SetCurContainer(session_, XC_SLOT_SIGNATURE, &container_), 0);
  EXPECT_EQ(Run(RSASign, digest_info, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG), signature);

  // A new pair replaces the old one.
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  EXPECT_NE(Run(RSASign, digest_info, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG), signature);
}

TEST_F(RsaTest, PrivateOperationsNeedTheLoginPublicOnesDoNot) {
  ImportKey(XC_KEY_EXCHANGE);
  // Log out by failing a PIN check.
  ASSERT_EQ(Login(session_, "wrong"), XCST_PIN_INCORRECT);
  const Block in = Pattern(20, 1);
  int32_t status = 0;
  Run(RSASign, in, XC_KEY_EXCHANGE, &status);
  EXPECT_EQ(status, XCST_NOT_LOGGED_IN);
  Run(RSADecrypt, Block(128, 0), XC_KEY_EXCHANGE, &status);
  EXPECT_EQ(status, XCST_NOT_LOGGED_IN);
  EXPECT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), XCST_NOT_LOGGED_IN);
  Block der = StrictDer(NewRsaKey(1024).get());
  EXPECT_EQ(WriteRSAKey(container_, 0, 0, der.data(), static_cast<uint32_t>(der.size()), 1),
            XCST_NOT_LOGGED_IN);
  Run(RSAEncrypt, in, XC_KEY_EXCHANGE, &status);
  EXPECT_EQ(status, 0);
  uint8_t pub[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(pub);
  EXPECT_EQ(ReadRSAPubKey(container_, pub, &len, XC_KEY_EXCHANGE), 0);
}

TEST_F(RsaTest, KeyTypesAndMissingKeys) {
  ImportKey(XC_KEY_EXCHANGE);
  const Block in = Pattern(20, 1);
  struct Case {
    const char *what;
    int32_t (*op)(XcHandle, const uint8_t *, uint32_t, uint8_t *, uint32_t *, uint32_t);
    uint32_t key_type;
    int32_t expected;
  };
  const Case cases[] = {
      {"encrypt, no signature pair", RSAEncrypt, XC_KEY_SIGNATURE, XCST_KEY_NOT_FOUND},
      {"sign, no signature pair", RSASign, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG, XCST_KEY_NOT_FOUND},
      {"encrypt type 3", RSAEncrypt, 3, XCST_BAD_KEY_TYPE},
      {"encrypt type 0x201", RSAEncrypt, 0x201, XCST_BAD_KEY_TYPE},
      {"decrypt with the sign flag", RSADecrypt, XC_KEY_EXCHANGE | XC_KEY_SIGN_FLAG,
       XCST_BAD_KEY_TYPE},
      {"sign type 0", RSASign, 0, XCST_BAD_KEY_TYPE},
  };
  for (const Case &c : cases) {
    int32_t status = 0;
    Run(c.op, c.op == RSADecrypt ? Block(128, 0) : in, c.key_type, &status);
    EXPECT_EQ(status, c.expected) << c.what;
  }
  uint8_t pub[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(pub);
  EXPECT_EQ(ReadRSAPubKey(container_, pub, &len, XC_KEY_SIGNATURE), XCST_KEY_NOT_FOUND);
  EXPECT_EQ(GenRSAKey(container_, 3), XCST_BAD_KEY_TYPE);
}

TEST_F(RsaTest, WriteRsaKeyRefusesKeysTheTokenCannotHold) {
  Pkey big = NewRsaKey(2048);
  Pkey small = NewRsaKey(1024);
  Block inconsistent = LooseRsaDer(small.get());
  inconsistent[inconsistent.size() - 1] ^= 0x01;  // damage the coefficient
  Block wrong_exponent = LooseRsaDer(small.get());
  // e sits right after n: "02 03 01 00 01" becomes "02 03 01 00 03".
  for (size_t i = 0; i + 4 < wrong_exponent.size(); ++i) {
    if (wrong_exponent[i] == 2 && wrong_exponent[i + 1] == 3 && wrong_exponent[i + 2] == 1 &&
        wrong_exponent[i + 3] == 0 && wrong_exponent[i + 4] == 1) {
      wrong_exponent[i + 4] = 3;
      break;
    }
  }
  struct Case {
    const char *what;
    Block der;
  };
  const Case cases[] = {
      {"2048-bit key", StrictDer(big.get())},
      {"inconsistent key", inconsistent},
      {"exponent 65539", wrong_exponent},
      {"not DER", Block(600, 0x30)},
      {"empty", Block()},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(WriteRSAKey(container_, 0, 0, c.der.data(), static_cast<uint32_t>(c.der.size()),
                          XC_KEY_EXCHANGE),
              XCST_BAD_KEY)
        << c.what;
  }
  EXPECT_EQ(WriteRSAKey(container_, 0, 0, nullptr, 10, XC_KEY_EXCHANGE), XCST_BAD_ARGUMENT);
  uint8_t pub[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(pub);
  EXPECT_EQ(ReadRSAPubKey(container_, pub, &len, XC_KEY_EXCHANGE), XCST_KEY_NOT_FOUND);
}

}  // namespace
}  // namespace obkey::softtoken::testing

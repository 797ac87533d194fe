// RSA key pairs: generation, import, the public-key record and the block
// rules, checked against OpenSSL, over every token library.
#include <openssl/rsa.h>

#include <functional>

#include "behaviour_fixture.h"

namespace obkey_behaviour {
namespace {

namespace keys = obkey::softtoken::testing;

// OpenSslRsa runs one OpenSSL RSA operation with `padding`; empty on
// failure.
enum class OsslOp { kEncrypt, kDecrypt, kSignRaw, kVerifyRecover };
Bytes OpenSslRsa(EVP_PKEY *key, OsslOp op, int padding, const Bytes &in) {
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(key, nullptr);
  using Init = int (*)(EVP_PKEY_CTX *);
  using Run = int (*)(EVP_PKEY_CTX *, unsigned char *, size_t *, const unsigned char *, size_t);
  const std::pair<Init, Run> ops[] = {
      {EVP_PKEY_encrypt_init, EVP_PKEY_encrypt},
      {EVP_PKEY_decrypt_init, EVP_PKEY_decrypt},
      {EVP_PKEY_sign_init, EVP_PKEY_sign},
      {EVP_PKEY_verify_recover_init, EVP_PKEY_verify_recover},
  };
  const auto &[init, run] = ops[static_cast<int>(op)];
  Bytes out(512);
  size_t out_len = out.size();
  bool ok = init(context) == 1 && EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
            run(context, out.data(), &out_len, in.data(), in.size()) == 1;
  EVP_PKEY_CTX_free(context);
  out.resize(ok ? out_len : 0);
  return out;
}

class RsaBehaviour : public TokenBehaviour {
 protected:
  void SetUp() override {
    TokenBehaviour::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    NEEDS_CONTAINERS_AND_FILES();
    ASSERT_EQ(Login(), 0);
    container_ = NewContainer("KEYS_SIG");
  }

  // Run calls one of the RSA functions and returns the output it wrote.
  using RsaCall =
      std::function<int32_t(XcHandle, const uint8_t *, uint32_t, uint8_t *, uint32_t *, uint32_t)>;
  Bytes Run(const RsaCall &call, const Bytes &in, uint32_t key_type, int32_t expected = 0) {
    Bytes out(XC_RSA_BLOCK);
    uint32_t out_len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(call(container_, in.data(), static_cast<uint32_t>(in.size()), out.data(), &out_len,
                   key_type),
              expected);
    out.resize(expected == 0 ? out_len : 0);
    return out;
  }
  Bytes PublicKey(uint32_t key_type) {
    Bytes out(XC_PUBKEY_SIZE);
    uint32_t len = XC_PUBKEY_SIZE;
    EXPECT_EQ(xc_.ReadRSAPubKey(container_, out.data(), &len, key_type), 0);
    return out;
  }

  XcHandle container_ = 0;
};

TEST_F(RsaBehaviour, AGeneratedPairReplacesTheOldOneAndWorks) {
  NEEDS_KEY_GENERATION(container_);
  ASSERT_EQ(xc_.GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  Bytes first = PublicKey(XC_KEY_SIGNATURE);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 7), Bytes({0, 0, 4, 0, 1, 0, 1}));
  const Bytes digest = {'d', 'i', 'g', 'e', 's', 't'};
  Bytes signature = Run(xc_.RSASign, digest, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG);
  EXPECT_EQ(Run(xc_.RSAEncrypt, signature, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), digest);
  ASSERT_EQ(xc_.GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  EXPECT_NE(PublicKey(XC_KEY_SIGNATURE), first);
  // The old signature is no longer the key's (nor, maybe, below its modulus).
  uint8_t back[XC_RSA_BLOCK];
  uint32_t back_len = sizeof(back);
  int32_t status = xc_.RSAEncrypt(container_, signature.data(), XC_RSA_BLOCK, back, &back_len,
                                  XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG);
  EXPECT_TRUE(status == XCST_DATA_RANGE || (status == 0 && Bytes(back, back + back_len) != digest))
      << std::hex << status;
  ASSERT_EQ(xc_.GenRSAKey(container_, XC_KEY_EXCHANGE), 0);
  Bytes cipher = Run(xc_.RSAEncrypt, digest, XC_KEY_EXCHANGE);
  EXPECT_EQ(Run(xc_.RSADecrypt, cipher, XC_KEY_EXCHANGE), digest);
  EXPECT_EQ(xc_.GenRSAKey(container_, 3), XCST_BAD_KEY_TYPE);
  LogOut();
  EXPECT_EQ(xc_.GenRSAKey(container_, XC_KEY_SIGNATURE), XCST_NOT_LOGGED_IN);
}

TEST_F(RsaBehaviour, ThePublicKeyRecordHoldsTheModulusAtOffsetSeven) {
  ASSERT_EQ(ImportKey(container_, XC_KEY_EXCHANGE), 0);
  uint8_t out[XC_PUBKEY_SIZE + 1];
  std::memset(out, 0xEE, sizeof(out));
  uint32_t len = XC_PUBKEY_SIZE - 1;
  EXPECT_EQ(xc_.ReadRSAPubKey(container_, out, &len, XC_KEY_EXCHANGE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_PUBKEY_SIZE);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(xc_.ReadRSAPubKey(container_, nullptr, &len, XC_KEY_EXCHANGE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(xc_.ReadRSAPubKey(container_, out, nullptr, XC_KEY_EXCHANGE), XCST_BAD_ARGUMENT);
  len = sizeof(out);
  ASSERT_EQ(xc_.ReadRSAPubKey(container_, out, &len, XC_KEY_EXCHANGE), 0);
  ASSERT_EQ(len, XC_PUBKEY_SIZE);
  EXPECT_EQ(Bytes(out, out + 7), Bytes({0, 0, 4, 0, 1, 0, 1}));
  EXPECT_EQ(Bytes(out + 7, out + XC_PUBKEY_SIZE),
            keys::Part(TestKey(), OSSL_PKEY_PARAM_RSA_N, 128));
  EXPECT_EQ(out[XC_PUBKEY_SIZE], 0xEE);
  len = sizeof(out);
  EXPECT_EQ(xc_.ReadRSAPubKey(container_, out, &len, XC_KEY_SIGNATURE), XCST_KEY_NOT_FOUND);
  EXPECT_EQ(xc_.ReadRSAPubKey(container_, out, &len, 3), XCST_BAD_KEY_TYPE);
  // Read without the login.
  LogOut();
  EXPECT_EQ(PublicKey(XC_KEY_EXCHANGE), Bytes(out, out + XC_PUBKEY_SIZE));
}

keys::Pkey RsaKeyWithExponent(unsigned bits, unsigned exponent) {
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  BIGNUM *e = BN_new();
  BN_set_word(e, exponent);
  EVP_PKEY *key = nullptr;
  if (EVP_PKEY_keygen_init(context) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(context, bits) == 1 &&
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, e) == 1) {
    EVP_PKEY_keygen(context, &key);
  }
  BN_free(e);
  EVP_PKEY_CTX_free(context);
  return keys::Pkey(key);
}

TEST_F(RsaBehaviour, AnImportTakesLooseDerAndRefusesKeysTheTokenCannotHold) {
  Bytes strict = keys::StrictDer(TestKey()), loose = keys::LooseRsaDer(TestKey(), 2);
  Bytes wrong_d = strict, trailing = strict;
  wrong_d[wrong_d.size() - 200] ^= 0x01;  // inside one of the private numbers
  trailing.push_back(0);
  struct Case {
    const char *what;
    Bytes der;
  } cases[] = {
      {"2048 bits", keys::StrictDer(keys::NewRsaKey(2048).get())},
      {"1023 bits", keys::StrictDer(keys::NewRsaKey(1023).get())},
      {"exponent 3", keys::StrictDer(RsaKeyWithExponent(1024, 3).get())},
      {"inconsistent numbers", wrong_d},
      {"trailing byte", trailing},
      {"not DER", Bytes(40, 0x30)},
      {"empty", Bytes{}},
  };
  for (const Case &c : cases) {
    ASSERT_FALSE(c.der.empty() && std::string(c.what) != "empty") << c.what;
    EXPECT_EQ(xc_.WriteRSAKey(container_, 0, 0, c.der.data(), static_cast<uint32_t>(c.der.size()),
                              XC_KEY_SIGNATURE),
              XCST_BAD_KEY)
        << c.what;
  }
  EXPECT_EQ(xc_.WriteRSAKey(container_, 0, 0, nullptr, 10, XC_KEY_SIGNATURE), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.WriteRSAKey(container_, 0, 0, loose.data(), static_cast<uint32_t>(loose.size()), 3),
            XCST_BAD_KEY_TYPE);
  uint8_t out[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(out);
  EXPECT_EQ(xc_.ReadRSAPubKey(container_, out, &len, XC_KEY_SIGNATURE), XCST_KEY_NOT_FOUND);
  // Redundant zero bytes and long length forms, as obkey's import writes them.
  ASSERT_EQ(xc_.WriteRSAKey(container_, 0, 0, loose.data(), static_cast<uint32_t>(loose.size()),
                            XC_KEY_SIGNATURE),
            0);
  Bytes record = PublicKey(XC_KEY_SIGNATURE);
  EXPECT_EQ(Bytes(record.begin() + 7, record.end()),
            keys::Part(TestKey(), OSSL_PKEY_PARAM_RSA_N, 128));
  // A refused key leaves the pair there was.
  EXPECT_EQ(xc_.WriteRSAKey(container_, 0, 0, trailing.data(),
                            static_cast<uint32_t>(trailing.size()), XC_KEY_SIGNATURE),
            XCST_BAD_KEY);
  EXPECT_EQ(PublicKey(XC_KEY_SIGNATURE), record);
  LogOut();
  EXPECT_EQ(ImportKey(container_, XC_KEY_SIGNATURE), XCST_NOT_LOGGED_IN);
}

TEST_F(RsaBehaviour, BlockRulesAgreeWithOpenSsl) {
  ASSERT_EQ(ImportKey(container_, XC_KEY_SIGNATURE), 0);
  EVP_PKEY *key = TestKey();
  Bytes short_data = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};
  Bytes longest(117, 0x42);
  Bytes raw_block(XC_RSA_BLOCK, 0x11);
  raw_block[0] = 0x00;

  // Encryption: a short input is padded (type 2), a whole block goes raw.
  for (const Bytes &plain : {short_data, longest, Bytes{}}) {
    Bytes cipher = Run(xc_.RSAEncrypt, plain, XC_KEY_SIGNATURE);
    ASSERT_EQ(cipher.size(), XC_RSA_BLOCK);
    EXPECT_EQ(OpenSslRsa(key, OsslOp::kDecrypt, RSA_PKCS1_PADDING, cipher), plain);
  }
  EXPECT_EQ(Run(xc_.RSAEncrypt, raw_block, XC_KEY_SIGNATURE),
            OpenSslRsa(key, OsslOp::kEncrypt, RSA_NO_PADDING, raw_block));
  // Decryption: the payload of a padded block, a block not validly padded
  // whole.
  Bytes cipher = OpenSslRsa(key, OsslOp::kEncrypt, RSA_PKCS1_PADDING, short_data);
  EXPECT_EQ(Run(xc_.RSADecrypt, cipher, XC_KEY_SIGNATURE), short_data);
  Bytes raw_cipher = OpenSslRsa(key, OsslOp::kEncrypt, RSA_NO_PADDING, raw_block);
  EXPECT_EQ(Run(xc_.RSADecrypt, raw_cipher, XC_KEY_SIGNATURE), raw_block);
  // Signing: a short input is padded (type 1), a whole block goes raw; the
  // signature check gives the payload back.
  Bytes signature = Run(xc_.RSASign, short_data, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG);
  EXPECT_EQ(OpenSslRsa(key, OsslOp::kVerifyRecover, RSA_PKCS1_PADDING, signature), short_data);
  EXPECT_EQ(Run(xc_.RSASign, short_data, XC_KEY_SIGNATURE), signature);
  EXPECT_EQ(OpenSslRsa(key, OsslOp::kVerifyRecover, RSA_PKCS1_PADDING,
                       Run(xc_.RSASign, Bytes{}, XC_KEY_SIGNATURE)),
            Bytes{});
  EXPECT_EQ(Run(xc_.RSAEncrypt, signature, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), short_data);
  EXPECT_EQ(Run(xc_.RSASign, raw_block, XC_KEY_SIGNATURE),
            OpenSslRsa(key, OsslOp::kSignRaw, RSA_NO_PADDING, raw_block));
  // A signature or a ciphertext without its leading zero bytes is read as
  // the number it is.
  while (!signature.empty() && signature.front() == 0) signature.erase(signature.begin());
  EXPECT_EQ(Run(xc_.RSAEncrypt, signature, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), short_data);
}

// Results that begin with zero bytes are whole 128-byte blocks, whatever
// length the token's module gives them, and inputs without their leading
// zero bytes are read as numbers.
TEST_F(RsaBehaviour, LeadingZeroBytesOfResultsAndInputs) {
  ASSERT_EQ(ImportKey(container_, XC_KEY_SIGNATURE), 0);
  Bytes small(XC_RSA_BLOCK, 0);
  small[125] = 1, small[126] = 2, small[127] = 3;  // no valid padding
  Bytes cipher = Run(xc_.RSAEncrypt, small, XC_KEY_SIGNATURE);
  EXPECT_EQ(Run(xc_.RSADecrypt, cipher, XC_KEY_SIGNATURE), small) << "a private result";
  EXPECT_EQ(Run(xc_.RSASign, cipher, XC_KEY_SIGNATURE), small) << "a signature";
  Bytes root = Run(xc_.RSASign, small, XC_KEY_SIGNATURE);
  EXPECT_EQ(Run(xc_.RSAEncrypt, root, XC_KEY_SIGNATURE), small) << "a public result";
  EXPECT_EQ(Run(xc_.RSAEncrypt, root, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), small)
      << "a signature check";
  // Inputs shorter than a block are the numbers they spell.
  const Bytes number = {1, 2, 3};
  EXPECT_EQ(Run(xc_.RSADecrypt, number, XC_KEY_SIGNATURE), root) << "a short ciphertext";
  EXPECT_EQ(Run(xc_.RSAEncrypt, number, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), cipher)
      << "a short signature";
}

TEST_F(RsaBehaviour, BlockRuleViolationsAreRefused) {
  ASSERT_EQ(ImportKey(container_, XC_KEY_SIGNATURE), 0);
  Bytes record = PublicKey(XC_KEY_SIGNATURE);
  Bytes modulus(record.begin() + 7, record.end());
  struct Case {
    const char *what;
    RsaCall call;
    Bytes in;
    uint32_t key_type;
    int32_t status;
  } cases[] = {
      {"encrypt 118 bytes", xc_.RSAEncrypt, Bytes(118, 1), 2, XCST_DATA_LENGTH},
      {"encrypt 129 bytes", xc_.RSAEncrypt, Bytes(129, 1), 2, XCST_DATA_LENGTH},
      {"encrypt the modulus", xc_.RSAEncrypt, modulus, 2, XCST_DATA_RANGE},
      {"sign 118 bytes", xc_.RSASign, Bytes(118, 1), 0x102, XCST_DATA_LENGTH},
      {"sign 129 bytes", xc_.RSASign, Bytes(129, 1), 0x102, XCST_DATA_LENGTH},
      {"sign the modulus", xc_.RSASign, modulus, 0x102, XCST_DATA_RANGE},
      {"decrypt nothing", xc_.RSADecrypt, Bytes{}, 2, XCST_DATA_LENGTH},
      {"decrypt 129 bytes", xc_.RSADecrypt, Bytes(129, 1), 2, XCST_DATA_LENGTH},
      {"decrypt the modulus", xc_.RSADecrypt, modulus, 2, XCST_DATA_RANGE},
      {"decrypt with the signature flag", xc_.RSADecrypt, Bytes(128, 0), 0x102, XCST_BAD_KEY_TYPE},
      {"check nothing", xc_.RSAEncrypt, Bytes{}, 0x102, XCST_DATA_LENGTH},
      {"check 129 bytes", xc_.RSAEncrypt, Bytes(129, 1), 0x102, XCST_DATA_LENGTH},
      {"check the modulus", xc_.RSAEncrypt, modulus, 0x102, XCST_DATA_RANGE},
      {"key type 3", xc_.RSASign, Bytes(4, 1), 3, XCST_BAD_KEY_TYPE},
      {"key type 0x103", xc_.RSAEncrypt, Bytes(4, 1), 0x103, XCST_BAD_KEY_TYPE},
      {"no exchange pair", xc_.RSAEncrypt, Bytes(4, 1), 1, XCST_KEY_NOT_FOUND},
      {"no exchange pair to sign with", xc_.RSASign, Bytes(4, 1), 0x101, XCST_KEY_NOT_FOUND},
      {"no exchange pair to decrypt with", xc_.RSADecrypt, Bytes(128, 1), 1, XCST_KEY_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Run(c.call, c.in, c.key_type, c.status);
  }
  uint8_t out[XC_RSA_BLOCK];
  uint32_t len = sizeof(out);
  EXPECT_EQ(xc_.RSASign(container_, nullptr, 3, out, &len, 2), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.RSAEncrypt(container_, nullptr, 3, out, &len, 2), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.RSADecrypt(container_, nullptr, 3, out, &len, 2), XCST_BAD_ARGUMENT);
}

// Null and short output buffers: the length needed, nothing written; a null
// length is refused.
TEST_F(RsaBehaviour, ShortOutputBuffersGetTheLengthNeededAndNothingElse) {
  ASSERT_EQ(ImportKey(container_, XC_KEY_SIGNATURE), 0);
  const Bytes data = {1, 2, 3};
  Bytes cipher = Run(xc_.RSAEncrypt, data, XC_KEY_SIGNATURE);
  Bytes signature = Run(xc_.RSASign, data, XC_KEY_SIGNATURE);
  struct Case {
    const char *what;
    RsaCall call;
    Bytes in;
    uint32_t key_type, needed;
  } cases[] = {
      {"encrypt", xc_.RSAEncrypt, data, 2, XC_RSA_BLOCK},
      {"sign", xc_.RSASign, data, 2, XC_RSA_BLOCK},
      {"decrypt", xc_.RSADecrypt, cipher, 2, 3},
      {"check", xc_.RSAEncrypt, signature, 0x102, 3},
  };
  for (const Case &c : cases) {
    uint8_t small[2] = {0xEE, 0xEE};
    uint32_t len = sizeof(small);
    const uint32_t in_len = static_cast<uint32_t>(c.in.size());
    EXPECT_EQ(c.call(container_, c.in.data(), in_len, small, &len, c.key_type),
              XCST_BUFFER_TOO_SMALL)
        << c.what;
    EXPECT_EQ(len, c.needed) << c.what;
    EXPECT_EQ(Bytes(small, small + 2), Bytes(2, 0xEE)) << c.what;
    len = XC_RSA_BLOCK;
    EXPECT_EQ(c.call(container_, c.in.data(), in_len, nullptr, &len, c.key_type),
              XCST_BUFFER_TOO_SMALL)
        << c.what;
    EXPECT_EQ(len, c.needed) << c.what;
    EXPECT_EQ(c.call(container_, c.in.data(), in_len, small, nullptr, c.key_type),
              XCST_BAD_ARGUMENT)
        << c.what;
  }
}

TEST_F(RsaBehaviour, PrivateOperationsNeedTheLoginPublicOnesDoNot) {
  ASSERT_EQ(ImportKey(container_, XC_KEY_SIGNATURE), 0);
  const Bytes data = {1, 2, 3};
  Bytes signature = Run(xc_.RSASign, data, 0x102);
  Bytes cipher = Run(xc_.RSAEncrypt, data, 2);
  LogOut();
  Run(xc_.RSASign, data, 0x102, XCST_NOT_LOGGED_IN);
  Run(xc_.RSADecrypt, cipher, 2, XCST_NOT_LOGGED_IN);
  EXPECT_EQ(Run(xc_.RSAEncrypt, data, 2).size(), XC_RSA_BLOCK);
  EXPECT_EQ(Run(xc_.RSAEncrypt, signature, 0x102), data);
}

}  // namespace
}  // namespace obkey_behaviour

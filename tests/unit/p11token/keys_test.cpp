// RSA keys of p11token: generation and import onto the token, the public
// key layout, and the block rules checked against OpenSSL.
#include <openssl/rsa.h>

#include "p11token_fixture.h"
#include "rsa_blocks.h"
#include "rsa_test_keys.h"

namespace obkey::p11token::testing {
namespace {

namespace keys = obkey::softtoken::testing;

// OpenSslRsa runs one OpenSSL RSA operation with `padding`; empty on
// failure.
enum class OsslOp { kEncrypt, kDecrypt, kSignRaw, kVerifyRecover };
Bytes OpenSslRsa(EVP_PKEY *key, OsslOp op, int padding, const Bytes &in) {
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(key, nullptr);
  Bytes out(512);
  size_t out_len = out.size();
  int ok = 0;
  switch (op) {
    case OsslOp::kEncrypt:
      ok = EVP_PKEY_encrypt_init(context) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
           EVP_PKEY_encrypt(context, out.data(), &out_len, in.data(), in.size()) == 1;
      break;
    case OsslOp::kDecrypt:
      ok = EVP_PKEY_decrypt_init(context) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
           EVP_PKEY_decrypt(context, out.data(), &out_len, in.data(), in.size()) == 1;
      break;
    case OsslOp::kSignRaw:
      ok = EVP_PKEY_sign_init(context) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
           EVP_PKEY_sign(context, out.data(), &out_len, in.data(), in.size()) == 1;
      break;
    case OsslOp::kVerifyRecover:
      ok = EVP_PKEY_verify_recover_init(context) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context, padding) == 1 &&
           EVP_PKEY_verify_recover(context, out.data(), &out_len, in.data(), in.size()) == 1;
      break;
  }
  EVP_PKEY_CTX_free(context);
  if (!ok) return {};
  out.resize(out_len);
  return out;
}

class P11KeysTest : public P11TokenTest {
 protected:
  void SetUp() override {
    P11TokenTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    container_ = NewContainer("KEYS_SIG");
    ASSERT_EQ(Login(), 0);
  }

  // Imports a new OpenSSL key as the pair of `key_type`.
  keys::Pkey ImportNewKey(uint32_t key_type) {
    keys::Pkey key = keys::NewRsaKey(1024);
    Bytes der = keys::LooseRsaDer(key.get(), 1);
    EXPECT_EQ(WriteRSAKey(container_, der.data(), static_cast<uint32_t>(der.size()), key_type), 0);
    return key;
  }

  // Run calls one of the RSA functions and returns the output it wrote.
  using RsaCall = int32_t (*)(XcHandle, const uint8_t *, uint32_t, uint8_t *, uint32_t *, uint32_t);
  Bytes Run(RsaCall call, const Bytes &in, uint32_t key_type, int32_t expected = 0) {
    Bytes out(kRsaBlock);
    uint32_t out_len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(call(container_, in.data(), static_cast<uint32_t>(in.size()), out.data(), &out_len,
                   key_type),
              expected);
    out.resize(expected == 0 ? out_len : 0);
    return out;
  }

  std::string Label(uint32_t key_type) { return KeyLabel("KEYS_SIG", key_type); }

  bool BoolAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value;
    EXPECT_EQ(ReadAttribute(raw_, object, type, &value), 0);
    return value.size() == 1 && value[0] == CK_TRUE;
  }

  XcHandle container_ = 0;
};

TEST_F(P11KeysTest, PrivateKeysNeverLeaveTheToken) {
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  ImportNewKey(XC_KEY_EXCHANGE);
  for (uint32_t key_type : {XC_KEY_SIGNATURE, XC_KEY_EXCHANGE}) {
    std::vector<CK_OBJECT_HANDLE> private_keys = Objects(CKO_PRIVATE_KEY, Label(key_type));
    ASSERT_EQ(private_keys.size(), 1u) << key_type;
    EXPECT_TRUE(BoolAttribute(private_keys[0], CKA_SENSITIVE)) << key_type;
    EXPECT_FALSE(BoolAttribute(private_keys[0], CKA_EXTRACTABLE)) << key_type;
    EXPECT_TRUE(BoolAttribute(private_keys[0], CKA_PRIVATE)) << key_type;
    CK_BYTE exponent[256];
    CK_ATTRIBUTE attribute{CKA_PRIVATE_EXPONENT, exponent, sizeof(exponent)};
    EXPECT_EQ(raw_.functions->C_GetAttributeValue(raw_.session, private_keys[0], &attribute, 1),
              CKR_ATTRIBUTE_SENSITIVE)
        << key_type;
    EXPECT_EQ(Objects(CKO_PUBLIC_KEY, Label(key_type)).size(), 1u) << key_type;
  }
  // Without the login no program sees the private halves.
  ASSERT_EQ(Login("wrong-pin"), P11ST_PIN_INCORRECT);
  EXPECT_TRUE(Objects(CKO_PRIVATE_KEY, Label(XC_KEY_SIGNATURE)).empty());
  EXPECT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), P11ST_NOT_LOGGED_IN);
}

TEST_F(P11KeysTest, ANewPairReplacesTheOldOne) {
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  uint8_t first[XC_PUBKEY_SIZE], second[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(first);
  ASSERT_EQ(ReadRSAPubKey(container_, first, &len, XC_KEY_SIGNATURE), 0);
  ImportNewKey(XC_KEY_SIGNATURE);
  len = sizeof(second);
  ASSERT_EQ(ReadRSAPubKey(container_, second, &len, XC_KEY_SIGNATURE), 0);
  EXPECT_NE(std::memcmp(first, second, sizeof(first)), 0);
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(Objects(CKO_PRIVATE_KEY, Label(XC_KEY_SIGNATURE)).size(), 1u);
  EXPECT_EQ(Objects(CKO_PUBLIC_KEY, Label(XC_KEY_SIGNATURE)).size(), 1u);
  EXPECT_EQ(GenRSAKey(container_, 3), P11ST_BAD_KEY_TYPE);
}

TEST_F(P11KeysTest, PublicKeyLayoutHoldsTheModulusAtOffsetSeven) {
  keys::Pkey key = ImportNewKey(XC_KEY_EXCHANGE);
  uint8_t out[XC_PUBKEY_SIZE + 1];
  uint32_t len = XC_PUBKEY_SIZE - 1;
  EXPECT_EQ(ReadRSAPubKey(container_, out, &len, XC_KEY_EXCHANGE), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_PUBKEY_SIZE);
  len = sizeof(out);
  ASSERT_EQ(ReadRSAPubKey(container_, out, &len, XC_KEY_EXCHANGE), 0);
  ASSERT_EQ(len, XC_PUBKEY_SIZE);
  EXPECT_EQ(Bytes(out, out + 7), Bytes({0, 0, 4, 0, 1, 0, 1}));
  EXPECT_EQ(Bytes(out + 7, out + XC_PUBKEY_SIZE),
            keys::Part(key.get(), OSSL_PKEY_PARAM_RSA_N, 128));
  EXPECT_EQ(ReadRSAPubKey(container_, out, &len, XC_KEY_SIGNATURE), P11ST_KEY_NOT_FOUND);
}

TEST_F(P11KeysTest, ImportRefusesKeysTheTokenInterfaceCannotHold) {
  keys::Pkey large = keys::NewRsaKey(2048), small = keys::NewRsaKey(1024);
  Bytes wrong_d = keys::StrictDer(small.get());
  wrong_d[wrong_d.size() - 200] ^= 0x01;  // inside one of the private numbers
  Bytes trailing = keys::StrictDer(small.get());
  trailing.push_back(0);
  struct Case {
    const char *what;
    Bytes der;
  } cases[] = {
      {"2048 bits", keys::StrictDer(large.get())},
      {"inconsistent numbers", wrong_d},
      {"trailing byte", trailing},
      {"not DER", Bytes(40, 0x30)},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(WriteRSAKey(container_, c.der.data(), static_cast<uint32_t>(c.der.size()), 2),
              P11ST_BAD_KEY)
        << c.what;
  }
  EXPECT_EQ(WriteRSAKey(container_, nullptr, 0, 2), P11ST_BAD_KEY);
  EXPECT_EQ(WriteRSAKey(container_, nullptr, 10, 2), P11ST_BAD_ARGUMENT);
  EXPECT_TRUE(Objects(CKO_PUBLIC_KEY, Label(XC_KEY_SIGNATURE)).empty());
}

TEST_F(P11KeysTest, BlockRulesAgreeWithOpenSsl) {
  keys::Pkey key = ImportNewKey(XC_KEY_SIGNATURE);
  Bytes modulus = keys::Part(key.get(), OSSL_PKEY_PARAM_RSA_N, 128);
  Bytes short_data = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};
  Bytes longest(kMaxPkcs1Payload, 0x42);
  Bytes raw_block(kRsaBlock, 0x11);
  raw_block[0] = 0x00;

  // Encryption: a short input is padded (type 2), a whole block goes raw.
  for (const Bytes &plain : {short_data, longest, Bytes{}}) {
    Bytes cipher = Run(RSAEncrypt, plain, XC_KEY_SIGNATURE);
    ASSERT_EQ(cipher.size(), kRsaBlock);
    EXPECT_EQ(OpenSslRsa(key.get(), OsslOp::kDecrypt, RSA_PKCS1_PADDING, cipher), plain);
  }
  EXPECT_EQ(Run(RSAEncrypt, raw_block, XC_KEY_SIGNATURE),
            OpenSslRsa(key.get(), OsslOp::kEncrypt, RSA_NO_PADDING, raw_block));

  // Decryption: OpenSSL's padded ciphertext gives the payload back, a raw
  // block whose padding is not valid comes back whole.
  Bytes cipher = OpenSslRsa(key.get(), OsslOp::kEncrypt, RSA_PKCS1_PADDING, short_data);
  EXPECT_EQ(Run(RSADecrypt, cipher, XC_KEY_SIGNATURE), short_data);
  Bytes raw_cipher = OpenSslRsa(key.get(), OsslOp::kEncrypt, RSA_NO_PADDING, raw_block);
  EXPECT_EQ(Run(RSADecrypt, raw_cipher, XC_KEY_SIGNATURE), raw_block);

  // Signing: a short input is padded (type 1), a whole block goes raw; the
  // token's signature check returns the payload.
  Bytes signature = Run(RSASign, short_data, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG);
  EXPECT_EQ(OpenSslRsa(key.get(), OsslOp::kVerifyRecover, RSA_PKCS1_PADDING, signature),
            short_data);
  EXPECT_EQ(Run(RSAEncrypt, signature, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), short_data);
  EXPECT_EQ(Run(RSASign, raw_block, XC_KEY_SIGNATURE),
            OpenSslRsa(key.get(), OsslOp::kSignRaw, RSA_NO_PADDING, raw_block));
  // A signature without its leading zero bytes is read as a number.
  while (!signature.empty() && signature.front() == 0) signature.erase(signature.begin());
  EXPECT_EQ(Run(RSAEncrypt, signature, XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG), short_data);
}

TEST_F(P11KeysTest, BlockRuleViolationsAreRefused) {
  ImportNewKey(XC_KEY_SIGNATURE);
  uint8_t out[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(out);
  ASSERT_EQ(ReadRSAPubKey(container_, out, &len, XC_KEY_SIGNATURE), 0);
  Bytes modulus(out + 7, out + XC_PUBKEY_SIZE);
  struct Case {
    const char *what;
    RsaCall call;
    Bytes in;
    uint32_t key_type;
    int32_t status;
  } cases[] = {
      {"encrypt 118 bytes", RSAEncrypt, Bytes(118, 1), 2, P11ST_DATA_LENGTH},
      {"encrypt 129 bytes", RSAEncrypt, Bytes(129, 1), 2, P11ST_DATA_LENGTH},
      {"encrypt the modulus", RSAEncrypt, modulus, 2, P11ST_DATA_RANGE},
      {"sign 118 bytes", RSASign, Bytes(118, 1), 0x102, P11ST_DATA_LENGTH},
      {"sign the modulus", RSASign, modulus, 0x102, P11ST_DATA_RANGE},
      {"decrypt nothing", RSADecrypt, Bytes{}, 2, P11ST_DATA_LENGTH},
      {"decrypt 129 bytes", RSADecrypt, Bytes(129, 1), 2, P11ST_DATA_LENGTH},
      {"decrypt the modulus", RSADecrypt, modulus, 2, P11ST_DATA_RANGE},
      {"decrypt with the signature flag", RSADecrypt, Bytes(128, 0), 0x102, P11ST_BAD_KEY_TYPE},
      {"check nothing", RSAEncrypt, Bytes{}, 0x102, P11ST_DATA_LENGTH},
      {"key type 3", RSASign, Bytes(4, 1), 3, P11ST_BAD_KEY_TYPE},
      {"no exchange pair", RSAEncrypt, Bytes(4, 1), 1, P11ST_KEY_NOT_FOUND},
      {"no exchange pair to sign with", RSASign, Bytes(4, 1), 0x101, P11ST_KEY_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Run(c.call, c.in, c.key_type, c.status);
  }
  // Short output buffers: the length needed, nothing written.
  Bytes data = {1, 2, 3};
  uint8_t small[16];
  std::memset(small, 0xEE, sizeof(small));
  uint32_t small_len = sizeof(small);
  EXPECT_EQ(RSASign(container_, data.data(), 3, small, &small_len, 2), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(small_len, kRsaBlock);
  EXPECT_EQ(small[0], 0xEE);
  EXPECT_EQ(RSAEncrypt(container_, data.data(), 3, small, nullptr, 2), P11ST_BAD_ARGUMENT);
  // Private-key operations need the login; the public ones do not.
  ASSERT_EQ(Login("wrong-pin"), P11ST_PIN_INCORRECT);
  Run(RSASign, data, 0x102, P11ST_NOT_LOGGED_IN);
  Run(RSADecrypt, Bytes(128, 0), 2, P11ST_NOT_LOGGED_IN);
  EXPECT_EQ(Run(RSAEncrypt, data, 2).size(), kRsaBlock);
}

// A pair made by another program under the documented label is obkey's to
// use, and a certificate written for it carries its CKA_ID.
TEST_F(P11KeysTest, APairMadeElsewhereUnderTheLabelIsUsed) {
  std::string label = Label(XC_KEY_SIGNATURE);
  const CK_ULONG bits = 1024;
  const uint8_t exponent[] = {1, 0, 1};
  const uint8_t id[] = {0xC0, 0xFF, 0xEE};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE public_tmpl[] = {
      {CKA_TOKEN, &yes, sizeof(yes)},
      {CKA_LABEL, label.data(), label.size()},
      {CKA_ID, const_cast<uint8_t *>(id), sizeof(id)},
      {CKA_MODULUS_BITS, const_cast<CK_ULONG *>(&bits), sizeof(bits)},
      {CKA_PUBLIC_EXPONENT, const_cast<uint8_t *>(exponent), sizeof(exponent)},
      {CKA_ENCRYPT, &yes, sizeof(yes)},
  };
  CK_ATTRIBUTE private_tmpl[] = {
      {CKA_TOKEN, &yes, sizeof(yes)},          {CKA_PRIVATE, &yes, sizeof(yes)},
      {CKA_LABEL, label.data(), label.size()}, {CKA_ID, const_cast<uint8_t *>(id), sizeof(id)},
      {CKA_SIGN, &yes, sizeof(yes)},           {CKA_DECRYPT, &yes, sizeof(yes)},
  };
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = 0, private_key = 0;
  // The test's own session is read-only; the library's session shares the
  // login, so borrow a read-write one for the generation.
  Cryptoki c;
  ASSERT_EQ(SessionOf(session_, &c), 0);
  ASSERT_EQ(c.functions->C_GenerateKeyPair(c.session, &mechanism, public_tmpl, 6, private_tmpl, 6,
                                           &public_key, &private_key),
            CKR_OK);

  Bytes data = {'e', 'l', 's', 'e', 'w', 'h', 'e', 'r', 'e'};
  Bytes signature = Run(RSASign, data, 0x102);
  EXPECT_EQ(Run(RSAEncrypt, signature, 0x102), data);
  const uint8_t cert[] = {'c', 'e', 'r', 't'};
  ASSERT_EQ(WriteCert(container_, cert, sizeof(cert), XC_KEY_SIGNATURE), 0);
  std::vector<CK_OBJECT_HANDLE> certificates = Objects(CKO_CERTIFICATE, label);
  ASSERT_EQ(certificates.size(), 1u);
  Bytes cert_id;
  ASSERT_EQ(ReadAttribute(raw_, certificates[0], CKA_ID, &cert_id), 0);
  EXPECT_EQ(cert_id, Bytes(id, id + sizeof(id)));

  // A pair of under 1024 bits under our label is no key of the interface.
  std::string short_label = Label(XC_KEY_EXCHANGE);
  const CK_ULONG short_bits = 512;
  public_tmpl[1] = {CKA_LABEL, short_label.data(), short_label.size()};
  public_tmpl[3] = {CKA_MODULUS_BITS, const_cast<CK_ULONG *>(&short_bits), sizeof(short_bits)};
  private_tmpl[2] = {CKA_LABEL, short_label.data(), short_label.size()};
  ASSERT_EQ(c.functions->C_GenerateKeyPair(c.session, &mechanism, public_tmpl, 6, private_tmpl, 6,
                                           &public_key, &private_key),
            CKR_OK);
  uint8_t out[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(out);
  EXPECT_EQ(ReadRSAPubKey(container_, out, &len, XC_KEY_EXCHANGE), P11ST_BAD_KEY);
  Run(RSAEncrypt, data, XC_KEY_EXCHANGE, P11ST_BAD_KEY);
}

}  // namespace
}  // namespace obkey::p11token::testing

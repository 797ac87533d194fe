// RSA key objects of p11token: what lies on the token, and pairs that
// another program made. (What keys do is the behaviour suite's.)
#include "p11token_fixture.h"
#include "rsa_test_keys.h"

namespace obkey::p11token::testing {
namespace {

namespace keys = obkey::softtoken::testing;

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

  std::string Label(uint32_t key_type) { return KeyLabel("KEYS_SIG", key_type); }

  bool BoolAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value;
    EXPECT_EQ(ReadAttribute(raw_, object, type, &value), 0);
    return value.size() == 1 && value[0] == CK_TRUE;
  }

  XcHandle container_ = 0;
};

// Every replacement leaves one pair of each key type, and no private half
// can be read.
TEST_F(P11KeysTest, PrivateKeysNeverLeaveTheToken) {
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_SIGNATURE), 0);
  ImportNewKey(XC_KEY_EXCHANGE);
  ImportNewKey(XC_KEY_SIGNATURE);
  ASSERT_EQ(GenRSAKey(container_, XC_KEY_EXCHANGE), 0);
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

  const uint8_t data[] = {'e', 'l', 's', 'e', 'w', 'h', 'e', 'r', 'e'};
  uint8_t out[XC_RSA_BLOCK], back[XC_RSA_BLOCK];
  uint32_t len = sizeof(out), back_len = sizeof(back);
  ASSERT_EQ(RSASign(container_, data, sizeof(data), out, &len, 0x102), 0);
  ASSERT_EQ(RSAEncrypt(container_, out, len, back, &back_len, 0x102), 0);
  EXPECT_EQ(Bytes(back, back + back_len), Bytes(data, data + sizeof(data)));
  const uint8_t cert[] = {'c', 'e', 'r', 't'};
  ASSERT_EQ(WriteCert(container_, cert, sizeof(cert), XC_KEY_SIGNATURE), 0);
  std::vector<CK_OBJECT_HANDLE> certificates = Objects(CKO_CERTIFICATE, label);
  ASSERT_EQ(certificates.size(), 1u);
  Bytes cert_id;
  ASSERT_EQ(ReadAttribute(raw_, certificates[0], CKA_ID, &cert_id), 0);
  EXPECT_EQ(cert_id, Bytes(id, id + sizeof(id)));

  // A pair of another size under our label is no key of the interface,
  // one a bit short of 1024 bits (a modulus of 128 bytes) included.
  std::string exchange_label = Label(XC_KEY_EXCHANGE);
  public_tmpl[1] = {CKA_LABEL, exchange_label.data(), exchange_label.size()};
  private_tmpl[2] = {CKA_LABEL, exchange_label.data(), exchange_label.size()};
  for (CK_ULONG other_bits : {512ul, 1023ul}) {
    public_tmpl[3] = {CKA_MODULUS_BITS, &other_bits, sizeof(other_bits)};
    ASSERT_EQ(c.functions->C_GenerateKeyPair(c.session, &mechanism, public_tmpl, 6, private_tmpl, 6,
                                             &public_key, &private_key),
              CKR_OK);
    len = sizeof(out);
    EXPECT_EQ(ReadRSAPubKey(container_, out, &len, XC_KEY_EXCHANGE), P11ST_BAD_KEY) << other_bits;
    len = sizeof(out);
    EXPECT_EQ(RSAEncrypt(container_, data, sizeof(data), out, &len, XC_KEY_EXCHANGE), P11ST_BAD_KEY)
        << other_bits;
    len = sizeof(out);
    EXPECT_EQ(RSASign(container_, data, sizeof(data), out, &len, XC_KEY_EXCHANGE), P11ST_BAD_KEY)
        << other_bits;
    ASSERT_EQ(c.functions->C_DestroyObject(c.session, public_key), CKR_OK);
    ASSERT_EQ(c.functions->C_DestroyObject(c.session, private_key), CKR_OK);
  }
}

}  // namespace
}  // namespace obkey::p11token::testing

// Certificates and the certificate count of token parameter 8.
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

class CertificateTest : public TokenTest {
 protected:
  uint8_t CountByte(XcHandle session) {
    uint8_t param[XC_EKEY_PARAM_SIZE];
    std::memset(param, 0xEE, sizeof(param));
    uint32_t len = XC_EKEY_PARAM_SIZE;
    EXPECT_EQ(GetEkeyParam(session, XC_EKEY_PARAM_CERT_COUNT, param, &len, 0), 0);
    EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
    return param[0];
  }
};

TEST_F(CertificateTest, OnePerContainerAndKeySpecification) {
  XcHandle session = LoggedInSession();
  XcHandle sig = Container(session, "SIG");
  XcHandle enc = Container(session, "ENC");
  EXPECT_EQ(CountByte(session), 0);
  const std::vector<uint8_t> a(kMaxCertificate, 0xA1);
  const std::vector<uint8_t> b = {0x30, 0x03, 0x02, 0x01, 0x05};
  ASSERT_EQ(WriteCert(sig, a.data(), static_cast<uint32_t>(a.size()), XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(WriteCert(enc, b.data(), static_cast<uint32_t>(b.size()), XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(CountByte(session), 2);
  ASSERT_EQ(WriteCert(sig, b.data(), static_cast<uint32_t>(b.size()), XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(CountByte(session), 3);
  Disconnect(session);

  session = Connect();
  ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &sig), 0);
  std::vector<uint8_t> out(kMaxCertificate);
  uint32_t len = kMaxCertificate;
  ASSERT_EQ(ReadCert(sig, out.data(), &len, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(out, a);
  len = kMaxCertificate;
  ASSERT_EQ(ReadCert(sig, out.data(), &len, XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + len), b);
}

TEST_F(CertificateTest, ReadingReportsLengthOrAbsence) {
  XcHandle session = LoggedInSession();
  XcHandle enc = Container(session, "ENC");
  uint8_t out[8];
  std::memset(out, 0xEE, sizeof(out));
  uint32_t len = sizeof(out);
  EXPECT_EQ(ReadCert(enc, out, &len, XC_KEY_EXCHANGE), XCST_CERT_NOT_FOUND);
  const uint8_t cert[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(WriteCert(enc, cert, 9, XC_KEY_EXCHANGE), 0);
  len = 8;
  EXPECT_EQ(ReadCert(enc, out, &len, XC_KEY_EXCHANGE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 9u);
  EXPECT_EQ(out[0], 0xEE);
  len = 100;
  EXPECT_EQ(ReadCert(enc, nullptr, &len, XC_KEY_EXCHANGE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 9u);
  EXPECT_EQ(ReadCert(enc, out, nullptr, XC_KEY_EXCHANGE), XCST_BAD_ARGUMENT);
  EXPECT_EQ(ReadCert(enc, out, &len, 3), XCST_BAD_KEY_TYPE);
}

TEST_F(CertificateTest, WritingChecksLengthSpecificationAndLogin) {
  XcHandle session = Connect();
  XcHandle sig = Container(session, "SIG");
  const std::vector<uint8_t> cert(kMaxCertificate + 1, 1);
  EXPECT_EQ(WriteCert(sig, cert.data(), 10, XC_KEY_SIGNATURE), XCST_NOT_LOGGED_IN);
  ASSERT_EQ(Login(session), 0);
  EXPECT_EQ(WriteCert(sig, cert.data(), kMaxCertificate + 1, XC_KEY_SIGNATURE), XCST_CERT_LENGTH);
  EXPECT_EQ(WriteCert(sig, cert.data(), 0, XC_KEY_SIGNATURE), XCST_CERT_LENGTH);
  EXPECT_EQ(WriteCert(sig, nullptr, 10, XC_KEY_SIGNATURE), XCST_BAD_ARGUMENT);
  EXPECT_EQ(WriteCert(sig, cert.data(), 10, 0), XCST_BAD_KEY_TYPE);
  EXPECT_EQ(CountByte(session), 0);
}

TEST_F(CertificateTest, EkeyParameterChecks) {
  XcHandle session = Connect();
  uint8_t param[XC_EKEY_PARAM_SIZE];
  uint32_t len = XC_EKEY_PARAM_SIZE - 1;
  EXPECT_EQ(GetEkeyParam(session, 8, param, &len, 0), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
  EXPECT_EQ(GetEkeyParam(session, 7, param, &len, 0), XCST_BAD_PARAM);
  EXPECT_EQ(GetEkeyParam(0, 8, param, &len, 0), XCST_BAD_HANDLE);
}

}  // namespace
}  // namespace obkey::softtoken::testing

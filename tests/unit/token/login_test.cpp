// Login, PIN change, formatting, the container report and the fixed answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "obkey.h"

namespace {

using Calls = std::vector<std::string>;

using LoginTest = obkey_test::FakeTokenTest;

TEST_F(LoginTest, LoginVerifiesThePinInItsOwnSession) {
  struct Case {
    uint32_t user_type;
    const char *pin;
    int32_t verify_status;
    int32_t expected;
    Calls calls;
  };
  const Case cases[] = {
      {1,
       "1234",
       0,
       0,
       {"XC_ConnectEkey(7)", "XC_VerifyPin(17, 31323334, 4, 2)", "XC_DisconnectEkey(17)"}},
      {1,
       "1234",
       0x6983,
       0x6983,
       {"XC_ConnectEkey(7)", "XC_VerifyPin(17, 31323334, 4, 2)", "XC_DisconnectEkey(17)"}},
      {1, "", 0, 0, {"XC_ConnectEkey(7)", "XC_VerifyPin(17, , 0, 2)", "XC_DisconnectEkey(17)"}},
      {2, "1234", 0, OB_E_ARGUMENT, {"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}},
      {1, nullptr, 0, OB_E_ARGUMENT, {"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}},
  };
  for (const Case &c : cases) {
    fake::Reset();
    if (c.verify_status != 0) fake::QueueStatus("XC_VerifyPin", c.verify_status);
    EXPECT_EQ(OBCA_Login(c.user_type, c.pin), c.expected);
    EXPECT_EQ(fake::Calls(), c.calls);
  }
}

TEST_F(LoginTest, WithoutTokenLoginIsThreeWhateverTheUserType) {
  env_.RemoveRegistry();
  EXPECT_EQ(OBCA_Login(2, "1234"), OB_E_NO_SESSION);
  EXPECT_EQ(fake::Calls(), Calls({"XC_DisconnectEkey(0)"}));
}

TEST_F(LoginTest, FormatPassesTheFixedTextTwiceAndLogsBothEntries) {
  for (int32_t status : {0, 0x1234567}) {
    fake::Reset();
    std::remove(env_.log_path().c_str());
    if (status != 0) fake::QueueStatus("FormatMWKey", status);
    EXPECT_EQ(OBCA_Format(5, 99), status);
    EXPECT_EQ(fake::Calls(), Calls({"FormatMWKey(\"ZARQU.1974\", \"ZARQU.1974\", 5)"}));
    EXPECT_EQ(env_.ReadLog(), "     OBCA_Format FormatMWKey S\n     OBCA_Format FormatMWKey E\n");
  }
}

TEST_F(LoginTest, PinChangePassesAllBytesOfBothRecords) {
  uint8_t old_bytes[] = {'1', 0, '3'};
  uint8_t new_bytes[] = {0, 'x'};
  DataBlob old_pin{3, old_bytes};
  DataBlob new_pin{2, new_bytes};
  fake::QueueStatus("XC_ChangePin", 0x6A80);
  EXPECT_EQ(OB_SetPVKEnabelData(0, &old_pin, &new_pin, 0), 0x6A80);
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_ChangePin(17, 310033, 3, 0078, 2, 2)",
                                  "XC_DisconnectEkey(17)"}));
}

TEST_F(LoginTest, PinChangeRefusesUnreadableRecordsBeforeConnecting) {
  uint8_t bytes[] = {'1'};
  DataBlob good{1, bytes};
  DataBlob null_data{4, nullptr};
  DataBlob empty{0, nullptr};
  EXPECT_EQ(OB_SetPVKEnabelData(0, nullptr, &good, 0), OB_E_ARGUMENT);
  EXPECT_EQ(OB_SetPVKEnabelData(0, &good, nullptr, 0), OB_E_ARGUMENT);
  EXPECT_EQ(OB_SetPVKEnabelData(0, &null_data, &good, 0), OB_E_ARGUMENT);
  EXPECT_EQ(OB_SetPVKEnabelData(0, &good, &null_data, 0), OB_E_ARGUMENT);
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_EQ(OB_SetPVKEnabelData(0, &empty, &good, 0), 0);
  EXPECT_EQ(fake::Calls()[1], "XC_ChangePin(17, null, 0, 31, 1, 2)");
}

TEST_F(LoginTest, ContainerReportPrintsHandlesAndNames) {
  std::string exchange_name = "MY_ENC";
  std::string full_name(48, 'S');  // fills the buffer: no terminator
  fake::QueueOutput("XC_GetContainerParam",
                    std::vector<uint8_t>(exchange_name.begin(), exchange_name.end()));
  fake::QueueOutput("XC_GetContainerParam",
                    std::vector<uint8_t>(full_name.begin(), full_name.end()));
  testing::internal::CaptureStdout();
  EXPECT_EQ(OB_DisabelPVK(0), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "hContainer 1 =33\nXC_GetContainerParam 1 name=MY_ENC\n"
            "hContainer 0 =33\nXC_GetContainerParam 0 name=" +
                full_name + "\n");
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_SetCurContainer(17, 1)",
                                  "XC_GetContainerParam(33, 1, 48, 0)", "XC_SetCurContainer(17, 0)",
                                  "XC_GetContainerParam(33, 1, 48, 0)", "XC_DisconnectEkey(17)"}));
}

TEST_F(LoginTest, ContainerReportWithoutContainersStillSucceeds) {
  fake::QueueStatus("XC_SetCurContainer", 0x10);
  fake::QueueStatus("XC_SetCurContainer", 0x10);
  testing::internal::CaptureStdout();
  EXPECT_EQ(OB_DisabelPVK(0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "hContainer 1 =0\nhContainer 0 =0\n");
}

TEST_F(LoginTest, ContainerReportWithoutTokenSaysSo) {
  env_.RemoveRegistry();
  testing::internal::CaptureStdout();
  EXPECT_EQ(OB_DisabelPVK(0), OB_E_NO_SESSION);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No key connected.\n");
  EXPECT_EQ(fake::Calls(), Calls({"XC_DisconnectEkey(0)"}));
}

TEST_F(LoginTest, FixedAnswersTouchNothing) {
  CertRef ref{1, 1};
  DataBlob blob{0, nullptr};
  EXPECT_EQ(OBCA_Logout(), 0);
  EXPECT_EQ(OB_DestroyContainer("x"), 0);
  EXPECT_EQ(OB_DestroyKey(nullptr), 0);
  EXPECT_EQ(OB_DestroyKey(&blob), 0);
  EXPECT_EQ(OB_EnablePVK(1, 2, 3), 0);
  EXPECT_EQ(OB_GetSupportedAlgId(1, 2), 0);
  EXPECT_EQ(OBCERT_CreateCertStore("MY"), 0);
  EXPECT_EQ(OBCERT_FindCertStore(nullptr), 0);
  EXPECT_EQ(OBCERT_DestroyCertStore("MY"), 0);
  EXPECT_EQ(OBCERT_DestroyCert(&ref), 0);
  EXPECT_EQ(OBCERT_SetCertProperty(&ref, 1, nullptr, 0), 0);
  EXPECT_EQ(OBCERT_GetUserCert(0, 0, 0), 0);
  EXPECT_EQ(OB_IsPVKEnabeled(0), 1);
  EXPECT_EQ(OB_ExportPrivateKey(0, 0, 0, 0), -1);
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_FALSE(env_.LogExists());
}

}  // namespace

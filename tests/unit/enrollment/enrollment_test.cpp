// OBCERT_CreateP10 and OBCERT_InstallCert against a recording fake of the
// enrollment library: argument mapping, constants, statuses and the log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_enroll.h"
#include "obkey.h"
#include "token_test_env.h"

namespace {

using fake_enroll::Call;

constexpr char kLogLine[] = "     =----- InstallCert S\n";

// The six values in the order the enrollment library takes them.
const std::vector<std::string> kValues = {"req-one", "req-two", "req-three",
                                          "rep-one", "rep-two", "rep-three"};

std::string Answer(const std::vector<int> &order, const std::string &prolog = "") {
  static const char *const kNames[] = {"certKmcReq1", "certKmcReq2", "certKmcReq3",
                                       "certKmcRep1", "certKmcRep2", "certKmcRep3"};
  std::string xml = prolog + "<root>";
  for (int i : order) {
    xml += std::string("<") + kNames[i] + ">" + kValues[i] + "</" + kNames[i] + ">";
  }
  return xml + "</root>";
}

uintptr_t Word(const void *pointer) {
  return reinterpret_cast<uintptr_t>(pointer);
}

class EnrollmentTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_enroll::Reset(); }
  obkey_test::TokenTestEnv env_;
};

TEST_F(EnrollmentTest, CreateP10PassesSubjectAndRequestBetweenTheConstants) {
  struct Case {
    uint32_t ignored1, ignored2, ignored3, ignored6;
    int32_t library_status;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0},
      {0xFFFFFFFF, 7, 0x12345678, 0xDEADBEEF, 0x56450004},
      {1, 2, 3, 4, -1},
  };
  char subject[] = "/CN=someone";
  uint8_t buffer[16];
  DataBlob request{sizeof(buffer), buffer};
  for (const Case &c : cases) {
    fake_enroll::Reset();
    fake_enroll::SetStatus("VeltaEnroll_createPKCS10", c.library_status);
    EXPECT_EQ(OBCERT_CreateP10(c.ignored1, c.ignored2, c.ignored3, subject, &request, c.ignored6),
              c.library_status);
    ASSERT_EQ(fake_enroll::Calls().size(), 1u);
    const Call &call = fake_enroll::Calls()[0];
    EXPECT_EQ(call.function, "VeltaEnroll_createPKCS10");
    const std::vector<uintptr_t> expected = {0, Word(subject), Word(&request), 1, 0, 2, 0x04000001};
    EXPECT_EQ(call.words, expected);
  }
  // Neither a session nor a log entry.
  EXPECT_FALSE(env_.LogExists());
}

TEST_F(EnrollmentTest, InstallCertMapsArgumentsAndValues) {
  int seal_arg2 = 0, seal_arg1 = 0;
  char pkcs7[] = "MIIpkcs7";
  std::string xml = Answer({0, 1, 2, 3, 4, 5});
  EXPECT_EQ(OBCERT_InstallCert(&seal_arg2, 11, &seal_arg1, 22, pkcs7, 33, xml.c_str(), 44), 0);

  const std::vector<Call> &calls = fake_enroll::Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].function, "VeltaEnroll_acceptPKCS7");
  EXPECT_EQ(calls[0].words, (std::vector<uintptr_t>{1, Word(pkcs7)}));
  EXPECT_EQ(calls[1].function, "VeltaEnroll_acceptSeal");
  ASSERT_EQ(calls[1].words.size(), 12u);
  // Argument 3 comes before argument 1.
  EXPECT_EQ(calls[1].words[0], Word(&seal_arg1));
  EXPECT_EQ(calls[1].words[1], Word(&seal_arg2));
  EXPECT_EQ(std::vector<uintptr_t>(calls[1].words.begin() + 8, calls[1].words.end()),
            (std::vector<uintptr_t>{1, 1, 1, 1}));
  EXPECT_EQ(calls[1].texts, kValues);
}

TEST_F(EnrollmentTest, InstallCertReturnsTheSealStatusOnly) {
  struct Case {
    int32_t pkcs7_status, seal_status;
  };
  const Case cases[] = {{0, 0}, {0x56450007, 0}, {0, 0x56450008}, {0x58430001, 0x5645000A}};
  std::string xml = Answer({0, 1, 2, 3, 4, 5});
  for (const Case &c : cases) {
    fake_enroll::Reset();
    fake_enroll::SetStatus("VeltaEnroll_acceptPKCS7", c.pkcs7_status);
    fake_enroll::SetStatus("VeltaEnroll_acceptSeal", c.seal_status);
    EXPECT_EQ(OBCERT_InstallCert(nullptr, 0, nullptr, 0, "p7", 0, xml.c_str(), 0), c.seal_status);
    EXPECT_EQ(fake_enroll::Calls().size(), 2u);
  }
}

TEST_F(EnrollmentTest, ElementOrderInsideRootDoesNotChangeTheCall) {
  const std::vector<std::vector<int>> orders = {
      {5, 4, 3, 2, 1, 0}, {3, 0, 5, 1, 4, 2}, {0, 1, 2, 3, 4, 5}};
  for (const std::vector<int> &order : orders) {
    fake_enroll::Reset();
    std::string xml = Answer(order, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    EXPECT_EQ(OBCERT_InstallCert(nullptr, 0, nullptr, 0, "p7", 0, xml.c_str(), 0), 0);
    ASSERT_EQ(fake_enroll::Calls().size(), 2u);
    EXPECT_EQ(fake_enroll::Calls()[1].texts, kValues);
  }
}

TEST_F(EnrollmentTest, UnusableAnswersGiveEmptyValuesAndStillInstall) {
  const std::vector<std::string> empty(6);
  const std::string answers[] = {
      Answer({0, 1, 2, 3, 4, 5}, "<!-- issued -->"),    // a node before root
      "<answer><certKmcReq1>x</certKmcReq1></answer>",  // no root
      "<root><certKmcReq1>x</certKmcReq1>",             // does not parse
      "",
  };
  for (const std::string &xml : answers) {
    fake_enroll::Reset();
    fake_enroll::SetStatus("VeltaEnroll_acceptSeal", 0x56450008);
    EXPECT_EQ(OBCERT_InstallCert(nullptr, 0, nullptr, 0, "p7", 0, xml.c_str(), 0), 0x56450008)
        << xml;
    ASSERT_EQ(fake_enroll::Calls().size(), 2u) << xml;
    EXPECT_EQ(fake_enroll::Calls()[1].texts, empty) << xml;
  }
}

TEST_F(EnrollmentTest, EveryInstallationLogsTheLineAndTheAnswer) {
  std::string good = Answer({0, 1, 2, 3, 4, 5});
  std::string bad = "<root";
  fake_enroll::SetStatus("VeltaEnroll_acceptSeal", 0x56450009);
  OBCERT_InstallCert(nullptr, 0, nullptr, 0, "p7", 0, good.c_str(), 0);
  OBCERT_InstallCert(nullptr, 0, nullptr, 0, "p7", 0, bad.c_str(), 0);
  EXPECT_EQ(env_.ReadLog(), kLogLine + good + kLogLine + bad);
}

TEST_F(EnrollmentTest, NullAnswerIsRefusedWithoutEnrollmentCalls) {
  EXPECT_EQ(OBCERT_InstallCert(nullptr, 0, nullptr, 0, "p7", 0, nullptr, 0), OB_E_ARGUMENT);
  EXPECT_TRUE(fake_enroll::Calls().empty());
  EXPECT_EQ(env_.ReadLog(), kLogLine);
}

}  // namespace

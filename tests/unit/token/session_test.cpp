// Opening a session from the machine configuration, and the diagnostic log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ekey_connect.h"
#include "fake_token.h"
#include "log_text.h"
#include "obkey.h"
#include "token_test_env.h"

namespace {

using obkey_test::TokenTestEnv;
using Calls = std::vector<std::string>;

constexpr char kBegin[] = "XC_ConnectEkey-------begin--\n";
constexpr char kEnd[] = "XC_ConnectEkey-------end--\n";
constexpr char kFail[] = "XC_ConnectEkey-------fail--\n";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
};

TEST(DeviceIndexTest, ReadsTheDecimalFromTheTenthCharacter) {
  struct Case {
    const char *value;
    bool read;
    int32_t device;
  };
  const Case cases[] = {
      {"XCSP_KEY_7", true, 7},
      {"abcdefghi 12x", true, 12},
      {"abcdefghiXY", true, 0},
      {"abcdefghi", true, 0},
      {"abcdefghi-3", true, -3},
      {"abcdefghi\t+42", true, 42},
      {"123456789012", true, 12},
      {"abcdefgh", false, 0},
      {"", false, 0},
      {"XCSP_KEY_99999999999", true, INT32_MAX},
  };
  for (const Case &c : cases) {
    int32_t device = -100;
    EXPECT_EQ(obkey::DeviceIndexFromValue(c.value, &device), c.read) << c.value;
    if (c.read) {
      EXPECT_EQ(device, c.device) << c.value;
    }
  }
}

TEST_F(SessionTest, NoSessionGivesThreeAndOneDisconnect) {
  struct Case {
    const char *what;
    const char *usb_key_value;  // "": no registry file
    int32_t connect_status;
    Calls calls;
    const char *log;  // null: no log file at all
  };
  const std::string connect_log = std::string(kBegin) + kEnd + kFail;
  const Case cases[] = {
      {"missing registry", "", 0, {"XC_DisconnectEkey(0)"}, nullptr},
      // shorter than nine characters counts as no value
      {"short value", "XCSP_KEY", 0, {"XC_DisconnectEkey(0)"}, nullptr},
      {"refused connect",
       "XCSP_KEY_4",
       0x0A000001,
       {"XC_ConnectEkey(4)", "XC_DisconnectEkey(0)"},
       connect_log.c_str()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    TokenTestEnv env(c.usb_key_value);
    if (c.connect_status != 0) fake::QueueStatus("XC_ConnectEkey", c.connect_status);
    EXPECT_EQ(OBCA_Login(1, "1234"), OB_E_NO_SESSION);
    EXPECT_EQ(fake::Calls(), c.calls);
    if (c.log == nullptr) {
      EXPECT_FALSE(env.LogExists());
    } else {
      EXPECT_EQ(env.ReadLog(), c.log);
    }
  }
}

TEST_F(SessionTest, SuccessfulOpeningLogsBeginAndEndOnly) {
  TokenTestEnv env("XCSP_KEY_2");
  XcHandle session = 0;
  EXPECT_EQ(obkey::EkeyConnect(&session), 0);
  EXPECT_EQ(session, 17u);
  EXPECT_EQ(env.ReadLog(), std::string(kBegin) + kEnd);
}

TEST_F(SessionTest, ConfigurationIsReadAfreshOnEveryCall) {
  TokenTestEnv env("XCSP_KEY_1");
  OBCA_Login(1, "");
  env.SetUsbKeyValue("XCSP_KEY_2");
  OBCA_Login(1, "");
  env.RemoveRegistry();
  EXPECT_EQ(OBCA_Login(1, ""), OB_E_NO_SESSION);
  Calls calls = fake::Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0], "XC_ConnectEkey(1)");
  EXPECT_EQ(calls[3], "XC_ConnectEkey(2)");
  EXPECT_EQ(calls[6], "XC_DisconnectEkey(0)");
}

TEST_F(SessionTest, RegistryFileLayoutIsReadLikeTheRegistry) {
  struct Case {
    const char *text;
    bool read;
    int32_t device;
  };
  const Case cases[] = {
      // key and value names compare without regard to case
      {"[hkey_local_machine\\software\\ORBISOFT\\implement type]\n\"usbkey\"=\"XCSP_KEY_3\"\n",
       true, 3},
      // the value of another key is not taken
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\other]\n\"USBKEY\"=\"XCSP_KEY_3\"\n", false, 0},
      // escapes inside the text
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement "
       "Type]\n\"USBKEY\"=\"a\\\\\\\"cdefgh5\"\n",
       true, 5},
      // a number value is no text
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n\"USBKEY\"=dword:00000005\n",
       false, 0},
      // an empty value is no value
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n\"USBKEY\"=\"\"\n", false, 0},
  };
  for (const Case &c : cases) {
    TokenTestEnv env("");
    env.SetRegistryText(c.text);
    int32_t device = -1;
    EXPECT_EQ(obkey::ReadConfiguredDevice(&device), c.read) << c.text;
    if (c.read) {
      EXPECT_EQ(device, c.device) << c.text;
    }
  }
}

TEST_F(SessionTest, LogTextAppendsExactBytesAndNullOnlyCreatesTheFile) {
  TokenTestEnv env;
  obkey::LogText(nullptr);
  EXPECT_TRUE(env.LogExists());
  EXPECT_EQ(env.ReadLog(), "");
  obkey::LogText("no newline");
  obkey::LogText("\xCA\xA7\xB0\xDC\n");
  EXPECT_EQ(env.ReadLog(), "no newline\xCA\xA7\xB0\xDC\n");
}

// A hard link planted at the log's path would have every entry appended to
// the file it names.
TEST_F(SessionTest, LogIsNotWrittenThroughAHardLink) {
  TokenTestEnv env;
  const std::string target = env.folder() + "/someone-elses-file";
  { std::ofstream(target) << "theirs\n"; }
  ASSERT_EQ(link(target.c_str(), env.log_path().c_str()), 0);
  obkey::LogText("entry\n");
  std::ifstream in(target);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "theirs\n");
}

TEST_F(SessionTest, UnwritableLogChangesNoStatus) {
  TokenTestEnv env;
  setenv("OBKEY_LOG", "/proc/obkey-no-such-folder/xml816.log", 1);
  fake::QueueStatus("XC_VerifyPin", 0x6983);
  EXPECT_EQ(OBCA_Login(1, "1234"), 0x6983);
  EXPECT_EQ(fake::Calls().size(), 3u);
}

}  // namespace

// A token that commits at its disconnect reports a lost change there; the
// export must not call it a success.
TEST_F(SessionTest, FailedDisconnectOfAnOpenSessionIsTheExportsStatus) {
  constexpr int32_t kCommitFailed = 0x58430007;
  constexpr int32_t kEarlierFailure = 0x20001;
  struct Case {
    const char *what;
    const char *usb_key_value;
    int32_t create_status;
    int32_t disconnect_status;
    int32_t expected;
  };
  const Case cases[] = {
      {"kept change", "XCSP_KEY_0", 0, 0, 0},
      {"lost change", "XCSP_KEY_0", 0, kCommitFailed, kCommitFailed},
      {"earlier failure stays", "XCSP_KEY_0", kEarlierFailure, kCommitFailed, kEarlierFailure},
      {"no session: handle 0 is not counted", "", 0, kCommitFailed, OB_E_NO_SESSION},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    TokenTestEnv env(c.usb_key_value);
    // A failed create is followed by an opening with mode 1; both must fail.
    if (c.create_status != 0) {
      fake::QueueStatus("XC_CreateContainer", c.create_status);
      fake::QueueStatus("XC_CreateContainer", c.create_status);
    }
    fake::QueueStatus("XC_DisconnectEkey", c.disconnect_status);
    EXPECT_EQ(OB_CreateContainer("MY_SIG"), c.expected);
    // The next call starts afresh: the failure belonged to the call before.
    EXPECT_EQ(OB_CreateContainer("MY_SIG"), c.usb_key_value[0] ? 0 : OB_E_NO_SESSION);
  }
}

// The file that stands in for the registry: only a regular file of a
// configuration's size is read, and a value is text up to its first zero.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bounded_child.h"
#include "device_config.h"
#include "fake_token.h"
#include "obkey.h"
#include "registry.h"
#include "registry_text.h"
#include "token_test_env.h"

namespace {

using obkey_test::RunInChild;
using obkey_test::TokenTestEnv;

constexpr int kLimitMs = 5000;
const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n";

// A configuration of exactly `size` bytes naming device 5, padded with a
// comment line in front.
std::string ConfigOfSize(size_t size) {
  std::string value = kSection + "\"USBKEY\"=\"XCSP_KEY_5\"\n";
  return ";" + std::string(size - value.size() - 2, 'x') + "\n" + value;
}

TEST(RegistryFileTest, ValueTextEndsAtItsFirstZeroByte) {
  struct Case {
    const char *what;
    std::string value_bytes;  // between the quotes
    bool read;
    const char *value;
  };
  const Case cases[] = {
      {"plain", "XCSP_KEY_5", true, "XCSP_KEY_5"},
      {"zero inside", std::string("XCSP_KEY_5\0junk", 15), true, "XCSP_KEY_5"},
      {"zero first", std::string("\0XCSP_KEY_5", 11), false, ""},
      {"only a zero", std::string("\0", 1), false, ""},
      {"empty", "", false, ""},
  };
  for (const Case &c : cases) {
    std::string text = kSection + "\"USBKEY\"=\"" + c.value_bytes + "\"\n";
    std::string value = "untouched";
    EXPECT_EQ(obkey::platform::FindRegStringValue(text, "SOFTWARE\\orbisoft\\Implement Type",
                                                  "USBKEY", &value),
              c.read)
        << c.what;
    EXPECT_EQ(value, c.read ? c.value : "untouched") << c.what;
  }
}

TEST(RegistryFileTest, OnlyRegularFilesUpToTheLimitAreRead) {
  struct Case {
    const char *what;
    std::string path;  // empty: the test's own file with `content`
    std::string content;
    bool read;
  };
  const Case cases[] = {
      {"small file", "", ConfigOfSize(100), true},
      {"exactly the limit", "", ConfigOfSize(obkey::platform::kRegistryFileMax), true},
      {"one byte over", "", ConfigOfSize(obkey::platform::kRegistryFileMax + 1), false},
      {"endless device", "/dev/zero", "", false},
      {"empty device", "/dev/null", "", false},
      {"folder", "/", "", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TokenTestEnv env("");
    std::string path = c.path.empty() ? env.registry_path() : c.path;
    if (c.path.empty()) {
      ASSERT_TRUE(obkey_test::WriteRegistryFile(path, c.content));
    }
    std::string text;
    auto outcome = RunInChild(
        [&] { return obkey::platform::ReadRegistryFile(path, &text) ? 1 : 0; }, kLimitMs);
    ASSERT_TRUE(outcome.finished) << outcome.Describe();
    EXPECT_EQ(outcome.exit_code, c.read ? 1 : 0);
  }
}

TEST(RegistryFileTest, FifoAsConfigurationIsRefusedWithoutWaiting) {
  TokenTestEnv env("");
  ASSERT_EQ(mkfifo(env.registry_path().c_str(), 0600), 0);
  auto outcome = RunInChild(
      [] {
        int32_t device = -1;
        return obkey::ReadConfiguredDevice(&device) ? 1 : 0;
      },
      kLimitMs);
  ASSERT_TRUE(outcome.finished) << outcome.Describe();
  EXPECT_EQ(outcome.exit_code, 0);
}

TEST(RegistryFileTest, LinkToARegularConfigurationIsFollowed) {
  TokenTestEnv env("");
  ASSERT_TRUE(obkey_test::WriteRegistryFile(env.folder() + "/real.reg", ConfigOfSize(200)));
  ASSERT_EQ(symlink((env.folder() + "/real.reg").c_str(), env.registry_path().c_str()), 0);
  int32_t device = -1;
  EXPECT_TRUE(obkey::ReadConfiguredDevice(&device));
  EXPECT_EQ(device, 5);
}

// /dev/zero used to be read until memory ran out; now the export answers
// "no session" at once, without a token call other than the disconnect.
TEST(RegistryFileTest, DevZeroAsConfigurationGivesNoSession) {
  TokenTestEnv env("");
  setenv("OBKEY_REGISTRY", "/dev/zero", 1);
  auto outcome = RunInChild(
      [] {
        fake::Reset();
        bool refused = OBCA_Login(1, "1234") == OB_E_NO_SESSION;
        return refused && fake::Calls() == std::vector<std::string>{"XC_DisconnectEkey(0)"} ? 0 : 1;
      },
      kLimitMs);
  ASSERT_TRUE(outcome.finished) << outcome.Describe();
  EXPECT_EQ(outcome.exit_code, 0);
}

}  // namespace

// The fixture of obkeyctl's command-line tests: a fresh token folder and
// configuration per test, obkeyctl run through the shell.
#ifndef OBKEY_TESTS_INTEGRATION_OBKEYCTL_FIXTURE_H
#define OBKEY_TESTS_INTEGRATION_OBKEYCTL_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "shell_run.h"
#include "token_test_env.h"

namespace obkeyctl_test {

using obkey_test::ReadText;
using obkey_test::RunShell;
using obkey_test::ShellQuote;
using obkey_test::ShellResult;
using obkey_test::WriteText;

inline constexpr char kFormattedPin[] = "12345678";

inline int ModeOf(const std::string &path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

inline bool IsRegularFile(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

class ObkeyctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = obkey_test::MakeTempFolder("obkeyctl-cli");
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(mkdir((dir_ + "/tokens").c_str(), 0700), 0);
    ASSERT_TRUE(obkey_test::WriteRegistryFile(
        dir_ + "/registry.reg", obkey_test::RegistryText(obkey_test::DeviceValue(0))));
    WriteText(dir_ + "/pin", std::string(kFormattedPin) + "\n");
    WriteText(dir_ + "/data", "a message to be signed by the token\n");
  }
  void TearDown() override { obkey_test::RemoveTree(dir_); }

  // The environment that points obkey at this test's folder.
  std::string Env() const {
    return "export OBKEY_REGISTRY=" + ShellQuote(dir_ + "/registry.reg") +
           " XCSP_TOKEN_DIR=" + ShellQuote(dir_ + "/tokens") +
           " OBKEY_LOG=" + ShellQuote(dir_ + "/xml816.log") + " XCSP_TOKEN_LOCK_TIMEOUT_MS=300; ";
  }
  std::string Ctl() const { return Env() + OBKEYCTL_PATH; }

  // Ctl runs obkeyctl with `args` (shell syntax) in the test folder.
  ShellResult Run(const std::string &args, const std::string &input = "") {
    return RunShell(dir_, Ctl() + " " + args, input);
  }
  // Shell runs a pipeline in which $CTL is obkeyctl with this test's setting.
  ShellResult Shell(const std::string &pipeline, const std::string &input = "") {
    return RunShell(dir_, Env() + "CTL=" + ShellQuote(OBKEYCTL_PATH) + "; " + pipeline, input);
  }

  // ShellPasses runs a pipeline as Shell does; a failure shows the pipeline
  // and what it wrote.
  ::testing::AssertionResult ShellPasses(const std::string &pipeline) {
    ShellResult result = Shell(pipeline);
    if (result.exit_status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << pipeline << "\nexited " << result.exit_status << "\n"
                                         << result.err << result.out;
  }

  void Format() {
    ShellResult result = Run("format --yes");
    ASSERT_EQ(result.exit_status, 0) << result.err;
  }
  void FormatWithSignatureKey() {
    Format();
    ShellResult result = Run("genkey CLI_SIG --type sig --pin-file pin");
    ASSERT_EQ(result.exit_status, 0) << result.err;
  }

  std::string dir_;
};

}  // namespace obkeyctl_test

#endif  // OBKEY_TESTS_INTEGRATION_OBKEYCTL_FIXTURE_H

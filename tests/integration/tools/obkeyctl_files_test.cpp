// The files obkeyctl makes for itself in a shared folder: --device writes a
// private configuration into $TMPDIR, which must never go through a file or
// link that someone else planted there, and is gone when obkeyctl exits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/fake/token_test_env.h"

namespace {

using obkey_test::TokenTestEnv;

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs `obkeyctl --device 3 status` with TMPDIR=`tmp`, after planting a link
// at the name that obkeyctl would once have chosen (it carried the pid,
// which exec keeps) when `victim` is given.
int RunWithDevice(const std::string &tmp, const std::string &victim) {
  pid_t child = fork();
  if (child == 0) {
    setenv("TMPDIR", tmp.c_str(), 1);
    if (!victim.empty()) {
      std::string planted = tmp + "/obkeyctl-" + std::to_string(getpid()) + ".reg";
      if (symlink(victim.c_str(), planted.c_str()) != 0) _exit(100);
    }
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execl(OBKEYCTL_PATH, "obkeyctl", "--device", "3", "status", static_cast<char *>(nullptr));
    _exit(101);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ObkeyctlFilesTest, PrivateConfigurationNeverFollowsAPlantedLink) {
  TokenTestEnv env("");
  const std::string tmp = env.folder() + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0777), 0);
  const std::string victim = env.folder() + "/victim";
  std::ofstream(victim) << "keep me\n";
  int exit_code = RunWithDevice(tmp, victim);
  EXPECT_NE(exit_code, 100);
  EXPECT_NE(exit_code, 101);
  EXPECT_EQ(ReadFile(victim), "keep me\n");
  // Only the planted link is left behind.
  int left = 0;
  for (const auto &entry : std::filesystem::directory_iterator(tmp)) {
    EXPECT_TRUE(entry.is_symlink()) << entry.path();
    ++left;
  }
  EXPECT_EQ(left, 1);
}

}  // namespace

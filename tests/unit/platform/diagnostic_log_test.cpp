// The diagnostic log is written only as a regular file of the user's: what
// an attacker or an accident puts at its path never receives an entry, never
// holds up a call and never changes a status.
#include "diagnostic_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "bounded_child.h"
#include "fake_token.h"
#include "log_text.h"
#include "obkey.h"
#include "token_test_env.h"

namespace {

using obkey_test::RunInChild;
using obkey_test::TokenTestEnv;

constexpr int kLimitMs = 5000;
constexpr char kEntry[] = "XC_ConnectEkey-------begin--\n";

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFile(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// What sits at the log path before the entry is written.
enum class AtLog { kNothing, kRegularFile, kLinkToFile, kDanglingLink, kFifo, kFolder, kDevice };

struct PlantCase {
  const char *what;
  AtLog at_log;
  bool appended;
};

void Plant(AtLog at_log, const std::string &log, const std::string &victim) {
  switch (at_log) {
    case AtLog::kNothing:
      break;
    case AtLog::kRegularFile:
      WriteFile(log, "old\n");
      break;
    case AtLog::kLinkToFile:
      WriteFile(victim, "victim\n");
      ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
      break;
    case AtLog::kDanglingLink:
      ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
      break;
    case AtLog::kFifo:
      ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
      break;
    case AtLog::kFolder:
      ASSERT_EQ(mkdir(log.c_str(), 0700), 0);
      break;
    case AtLog::kDevice:
      // The log path names a device instead; the planted path stays empty.
      setenv("OBKEY_LOG", "/dev/null", 1);
      break;
  }
}

TEST(DiagnosticLogTest, OnlyARegularFileReceivesTheEntryAndNothingBlocks) {
  const PlantCase cases[] = {
      {"missing log", AtLog::kNothing, true},
      {"existing log", AtLog::kRegularFile, true},
      {"symlink to another file", AtLog::kLinkToFile, false},
      {"symlink to a missing file", AtLog::kDanglingLink, false},
      {"FIFO without a reader", AtLog::kFifo, false},
      {"folder", AtLog::kFolder, false},
      {"device", AtLog::kDevice, false},
  };
  for (const PlantCase &c : cases) {
    SCOPED_TRACE(c.what);
    TokenTestEnv env;
    const std::string victim = env.folder() + "/victim";
    Plant(c.at_log, env.log_path(), victim);
    const std::string before = c.at_log == AtLog::kRegularFile ? ReadFile(env.log_path()) : "";
    auto outcome = RunInChild(
        [] { return obkey::platform::AppendToDiagnosticLog(kEntry, sizeof(kEntry) - 1) ? 1 : 0; },
        kLimitMs);
    ASSERT_TRUE(outcome.finished) << outcome.Describe();
    EXPECT_EQ(outcome.exit_code, c.appended ? 1 : 0);
    struct stat status;
    if (c.appended) {
      EXPECT_EQ(ReadFile(env.log_path()), before + kEntry);
    } else if (lstat(env.log_path().c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      ADD_FAILURE() << "the log turned into a regular file";
    }
    // The target of a planted link is neither written nor created.
    if (c.at_log == AtLog::kLinkToFile) {
      EXPECT_EQ(ReadFile(victim), "victim\n");
    }
    if (c.at_log == AtLog::kDanglingLink) {
      EXPECT_NE(lstat(victim.c_str(), &status), 0);
    }
  }
}

TEST(DiagnosticLogTest, FifoWithAReaderGetsNoEntry) {
  TokenTestEnv env;
  ASSERT_EQ(mkfifo(env.log_path().c_str(), 0600), 0);
  int reader = open(env.log_path().c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_FALSE(obkey::platform::AppendToDiagnosticLog(kEntry, sizeof(kEntry) - 1));
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
}

TEST(DiagnosticLogTest, NewLogAndItsFoldersArePrivateWhateverTheUmask) {
  TokenTestEnv env;
  const std::string folder = env.folder() + "/state/obkey";
  setenv("OBKEY_LOG", (folder + "/xml816.log").c_str(), 1);
  mode_t previous = umask(0);
  obkey::LogText(nullptr);
  umask(previous);
  struct stat status;
  ASSERT_EQ(stat((folder + "/xml816.log").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(status.st_size, 0);
  ASSERT_EQ(stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

// The whole export, not only the log writer: a FIFO at the log used to hold
// every token-backed call forever.
TEST(DiagnosticLogTest, ExportWithAFifoAtTheLogReturnsItsOwnStatus) {
  TokenTestEnv env("XCSP_KEY_4");
  ASSERT_EQ(mkfifo(env.log_path().c_str(), 0600), 0);
  auto outcome = RunInChild(
      [] {
        fake::Reset();
        fake::QueueStatus("XC_VerifyPin", 0x6983);
        return OBCA_Login(1, "1234") == 0x6983 && fake::Calls().size() == 3 ? 0 : 1;
      },
      kLimitMs);
  ASSERT_TRUE(outcome.finished) << outcome.Describe();
  EXPECT_EQ(outcome.exit_code, 0);
}

}  // namespace

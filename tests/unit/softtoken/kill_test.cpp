// Processes killed at random points: a session's changes arrive whole or not
// at all, and a PIN check cannot be had without paying its try.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

constexpr int kKills = 40;
// Kills that never land after a commit test nothing: at least this many
// rounds must see one.
constexpr int kMinRoundsAfterCommit = kKills / 4;
constexpr uint32_t kDirFile = 1;
constexpr uint32_t kDataFile = 2;
constexpr uint32_t kDirSize = 200;

class KillTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    setenv(kLockTimeoutVariable, "5000", 1);
  }

  // KillRounds forks `kKills` children that each run `child_loop` (which
  // never returns on its own, calls `committed` after each change it has
  // made whole, and exits at once on a failure), kills each after a random
  // delay below `max_delay_us`, and calls `check` after every kill with the
  // changes committed in that round and in all.
  using Committed = std::function<void()>;
  void KillRounds(unsigned max_delay_us,
                  const std::function<void(const Committed &committed)> &child_loop,
                  const std::function<void(int round, int round_commits, int commits)> &check) {
    int commits_pipe[2];
    ASSERT_EQ(pipe(commits_pipe), 0);
    std::mt19937 random(12345);
    int commits = 0;
    int rounds_after_commit = 0;
    for (int round = 0; round < kKills; ++round) {
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(commits_pipe[0]);
        child_loop([&] {
          const char byte = 'c';
          if (write(commits_pipe[1], &byte, 1) != 1) _exit(2);
        });
        _exit(3);
      }
      usleep(std::uniform_int_distribution<unsigned>(0, max_delay_us)(random));
      kill(pid, SIGKILL);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFSIGNALED(status))
          << "round " << round << ": the child ended on its own, exit " << WEXITSTATUS(status);
      const int round_commits = Drain(commits_pipe[0]);
      commits += round_commits;
      if (round_commits > 0) ++rounds_after_commit;
      check(round, round_commits, commits);
      if (::testing::Test::HasFatalFailure()) break;
    }
    close(commits_pipe[0]);
    close(commits_pipe[1]);
    EXPECT_GE(rounds_after_commit, kMinRoundsAfterCommit)
        << "too few kills landed after a commit to test anything";
  }

  // Drain counts the bytes waiting in `fd`, without blocking.
  static int Drain(int fd) {
    int count = 0;
    for (;;) {
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(fd, &ready);
      timeval none{0, 0};
      char byte;
      if (select(fd + 1, &ready, nullptr, nullptr, &none) != 1 || read(fd, &byte, 1) != 1) {
        return count;
      }
      ++count;
    }
  }

  // StoredState reads the store as a new process would.
  TokenState StoredState() {
    TokenState state;
    EXPECT_EQ(ParseStore(ReadFileBytes(StorePath()), &state), 0);
    return state;
  }
};

// ReplaceLabelled does what obkey's labelled-file import does on a replace:
// the directory opened (created when missing), the data file opened at its
// new size, deleted, created again, written, then the directory written.
// The directory records the data's size (4 bytes) and fill byte (1 byte).
bool ReplaceLabelled(uint32_t size, uint8_t fill) {
  XcHandle session = 0;
  if (ConnectEkey(0, &session) != 0) return false;
  XcHandle dir = 0;
  XcHandle data = 0;
  bool ok = CreateUserFile(session, kDirFile, kDirSize, XC_USER_FILE_CREATE, &dir) == 0 ||
            CreateUserFile(session, kDirFile, kDirSize, XC_USER_FILE_OPEN, &dir) == 0;
  if (ok && CreateUserFile(session, kDataFile, size, XC_USER_FILE_CREATE, &data) != 0) {
    ok = CreateUserFile(session, kDataFile, size, XC_USER_FILE_OPEN, &data) == 0 &&
         DeleteUserFile(data) == 0 &&
         CreateUserFile(session, kDataFile, size, XC_USER_FILE_CREATE, &data) == 0;
  }
  std::vector<uint8_t> contents(size, fill);
  uint8_t record[5] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                       static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24), fill};
  ok = ok && WriteUserFile(data, contents.data(), size) == 0 &&
       WriteUserFile(dir, record, sizeof(record)) == 0;
  return DisconnectEkey(session) == 0 && ok;
}

TEST_F(KillTest, LabelledFileReplacesLeaveTheOldOrTheNewFile) {
  Disconnect(LoggedInSession());  // the children inherit the login
  ASSERT_TRUE(ReplaceLabelled(1000, 'a'));
  KillRounds(
      60000,
      [](const Committed &committed) {
        for (uint32_t i = 0;; ++i) {
          if (!ReplaceLabelled(500 + 700 * (i % 3), static_cast<uint8_t>('b' + i % 3))) _exit(4);
          committed();
        }
      },
      [&](int round, int, int) {
        TokenState state = StoredState();
        ASSERT_EQ(state.user_files.count(kDirFile), 1u) << round;
        const std::vector<uint8_t> &dir = state.user_files[kDirFile];
        uint32_t size = dir[0] | dir[1] << 8 | dir[2] << 16 | static_cast<uint32_t>(dir[3]) << 24;
        ASSERT_EQ(state.user_files.count(kDataFile), 1u) << "round " << round << ": label torn";
        EXPECT_EQ(state.user_files[kDataFile], std::vector<uint8_t>(size, dir[4]))
            << "round " << round << ": data does not match its label";
      });
}

// The certificate written after a key generation is the key's modulus, so
// that a store holding a key without its certificate, or with another
// key's, shows.
bool GenerateKeyAndCertificate() {
  XcHandle session = 0;
  if (ConnectEkey(0, &session) != 0) return false;
  XcHandle container = 0;
  uint8_t public_key[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(public_key);
  bool ok = (CreateContainer(session, "SIG", &container, XC_CONTAINER_CREATE) == 0 ||
             CreateContainer(session, "SIG", &container, XC_CONTAINER_OPEN) == 0) &&
            GenRSAKey(container, XC_KEY_SIGNATURE) == 0 &&
            ReadRSAPubKey(container, public_key, &len, XC_KEY_SIGNATURE) == 0 &&
            WriteCert(container, public_key, len, XC_KEY_SIGNATURE) == 0;
  return DisconnectEkey(session) == 0 && ok;
}

TEST_F(KillTest, KeyGenerationsLeaveAKeyWithItsCertificateOrNothing) {
  Disconnect(LoggedInSession());
  KillRounds(
      250000,
      [](const Committed &committed) {
        for (;;) {
          if (!GenerateKeyAndCertificate()) _exit(4);
          committed();
        }
      },
      [&](int round, int, int commits) {
        XcHandle session = Connect();
        XcHandle container = 0;
        if (commits == 0 && SetCurContainer(session, XC_SLOT_SIGNATURE, &container) != 0) {
          Disconnect(session);
          return;  // no key generation has ended yet
        }
        ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0)
            << "round " << round << ": a committed container is gone";
        uint8_t public_key[XC_PUBKEY_SIZE];
        uint32_t len = sizeof(public_key);
        std::vector<uint8_t> cert(4096);
        uint32_t cert_len = static_cast<uint32_t>(cert.size());
        ASSERT_EQ(ReadRSAPubKey(container, public_key, &len, XC_KEY_SIGNATURE), 0)
            << "round " << round << ": a container without its key";
        ASSERT_EQ(ReadCert(container, cert.data(), &cert_len, XC_KEY_SIGNATURE), 0)
            << "round " << round << ": a key without its certificate";
        cert.resize(cert_len);
        EXPECT_EQ(cert, std::vector<uint8_t>(public_key, public_key + len))
            << "round " << round << ": a certificate of another key";
        Disconnect(session);
      });
}

TEST_F(KillTest, WrongPinsKilledAtAnyPointAreAllCounted) {
  uint8_t tries_before = kUserPinTries;
  KillRounds(
      120000,
      [](const Committed &committed) {
        XcHandle session = 0;
        if (ConnectEkey(0, &session) != 0) _exit(1);
        for (;;) {
          int32_t status = Login(session, "00000000");
          if (status != XCST_PIN_INCORRECT && status != XCST_PIN_LOCKED) _exit(4);
          committed();
          // The answer that used the last try is the last one that costs.
          if (status == XCST_PIN_LOCKED) pause();
        }
      },
      [&](int round, int answered, int) {
        // Every answer the child got, and possibly the check it was killed
        // in, cost a try; a restore between rounds keeps the counter off 0.
        const uint8_t tries_after = StoredState().user_pin.tries_left;
        EXPECT_GE(tries_before - tries_after, answered) << "round " << round;
        EXPECT_LE(tries_before - tries_after, answered + 1) << "round " << round;
        if (tries_after == 0) {
          ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
        }
        XcHandle session = Connect();
        EXPECT_EQ(Login(session), 0);
        Disconnect(session);
        tries_before = StoredState().user_pin.tries_left;
      });
}

// What a watcher can see of a PIN check before it ends, the first store
// write, is the same for a right and a wrong PIN and already counts the
// try: killing the check there, the earliest moment a watcher can react,
// tells nothing and costs the try it would cost anyway once compared.
TEST_F(KillTest, FirstWriteOfAPinCheckIsTheSameForARightAndAWrongPin) {
  const std::vector<uint8_t> before = ReadFileBytes(StorePath());
  std::vector<uint8_t> seen[2];
  const char *pins[2] = {kInitialUserPin, "00000000"};
  for (int i = 0; i < 2; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SetBeforeRenameHookForTesting([] { raise(SIGKILL); });
      XcHandle session = 0;
      if (ConnectEkey(0, &session) != 0) _exit(1);
      Login(session, pins[i]);
      _exit(2);  // the check wrote nothing
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << pins[i] << ": no write before the answer";
    EXPECT_EQ(ReadFileBytes(StorePath()), before) << pins[i];
    seen[i] = ReadFileBytes(StorePath() + ".tmp");
    TokenState pending;
    ASSERT_EQ(ParseStore(seen[i], &pending), 0) << pins[i];
    EXPECT_EQ(pending.user_pin.tries_left, kUserPinTries - 1) << pins[i];
  }
  EXPECT_EQ(seen[0], seen[1]);
}

// A session ended by a kill rather than a disconnect leaves nothing of its
// changes; the PIN check it made stays counted.
TEST_F(KillTest, SessionKilledBeforeItsDisconnectLeavesTheTokenAsItWas) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    XcHandle session = 0;
    XcHandle file = 0;
    XcHandle container = 0;
    if (ConnectEkey(0, &session) != 0 || Login(session) != 0 ||
        CreateUserFile(session, 5, 10, XC_USER_FILE_CREATE, &file) != 0 ||
        CreateContainer(session, "SIG", &container, XC_CONTAINER_CREATE) != 0 ||
        GenRSAKey(container, XC_KEY_SIGNATURE) != 0 ||
        Login(session, "00000000") != XCST_PIN_INCORRECT) {
      _exit(1);
    }
    raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  TokenState state = StoredState();
  EXPECT_TRUE(state.user_files.empty());
  EXPECT_FALSE(state.containers[XC_SLOT_SIGNATURE].present);
  EXPECT_EQ(state.user_pin.tries_left, kUserPinTries - 1);
}

}  // namespace
}  // namespace obkey::softtoken::testing

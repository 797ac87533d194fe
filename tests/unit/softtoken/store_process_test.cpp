// Crash safety and locking between processes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "softtoken_status.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using StoreProcessTest = TokenTest;

// WaitChild returns the child's exit code, or 128 + signal.
int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<uint8_t> ReadWhole(XcHandle file) {
  std::vector<uint8_t> out(64);
  uint32_t len = static_cast<uint32_t>(out.size());
  if (ReadUserFile(file, out.data(), &len) != 0) return {};
  out.resize(len);
  return out;
}

TEST_F(StoreProcessTest, KillBeforeRenameLeavesTheOldTokenIntact) {
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 3, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(WriteUserFile(file, Bytes("old"), 3), 0);
  Disconnect(session);
  const std::vector<uint8_t> old_store = ReadFileBytes(StorePath());

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    SetBeforeRenameHookForTesting([] { raise(SIGKILL); });
    XcHandle child_session = 0;
    XcHandle child_file = 0;
    if (ConnectEkey(0, &child_session) != 0 ||
        CreateUserFile(child_session, 1, 3, XC_USER_FILE_OPEN, &child_file) != 0) {
      _exit(1);
    }
    WriteUserFile(child_file, Bytes("new"), 3);
    DisconnectEkey(child_session);  // commits the session's change
    _exit(2);                       // only reached if the hook did not run
  }
  ASSERT_EQ(WaitChild(pid), 128 + SIGKILL);

  EXPECT_EQ(ReadFileBytes(StorePath()), old_store);
  // The temporary file was complete: the kill came at the worst moment.
  TokenState pending;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath() + ".tmp"), &pending), 0);
  EXPECT_EQ(pending.user_files[1], std::vector<uint8_t>({'n', 'e', 'w'}));

  // The dead session's lock went with it; the old contents read back and
  // the next change goes through.
  session = Connect();
  ASSERT_EQ(CreateUserFile(session, 1, 3, XC_USER_FILE_OPEN, &file), 0);
  EXPECT_EQ(ReadWhole(file), std::vector<uint8_t>({'o', 'l', 'd'}));
  ASSERT_EQ(WriteUserFile(file, Bytes("3rd"), 3), 0);
  Disconnect(session);
  session = Connect();
  ASSERT_EQ(CreateUserFile(session, 1, 3, XC_USER_FILE_OPEN, &file), 0);
  EXPECT_EQ(ReadWhole(file), std::vector<uint8_t>({'3', 'r', 'd'}));
}

// IncrementAndRecord is one session of a worker: it adds one to the shared
// counter in file 1 and creates a file of its own.
bool IncrementAndRecord(uint32_t own_file_number) {
  XcHandle session = 0;
  if (ConnectEkey(0, &session) != 0) return false;
  XcHandle counter = 0;
  XcHandle own = 0;
  uint8_t value[4] = {};
  uint32_t len = sizeof(value);
  bool ok = CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &counter) == 0 &&
            ReadUserFile(counter, value, &len) == 0 && len == 4;
  uint32_t count = 0;
  std::memcpy(&count, value, 4);
  ++count;
  std::memcpy(value, &count, 4);
  ok = ok && WriteUserFile(counter, value, 4) == 0 &&
       CreateUserFile(session, own_file_number, 1, XC_USER_FILE_CREATE, &own) == 0;
  return DisconnectEkey(session) == 0 && ok;
}

TEST_F(StoreProcessTest, TwoProcessesLoseNoChanges) {
  constexpr uint32_t kRounds = 40;
  setenv(kLockTimeoutVariable, "20000", 1);
  XcHandle session = LoggedInSession();  // the children inherit the login
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  Disconnect(session);

  pid_t children[2];
  for (uint32_t child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      for (uint32_t round = 0; round < kRounds; ++round) {
        if (!IncrementAndRecord(100 + child * kRounds + round)) _exit(1);
      }
      _exit(0);
    }
  }
  EXPECT_EQ(WaitChild(children[0]), 0);
  EXPECT_EQ(WaitChild(children[1]), 0);

  session = Connect();
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &file), 0);
  std::vector<uint8_t> value = ReadWhole(file);
  ASSERT_EQ(value.size(), 4u);
  uint32_t count = 0;
  std::memcpy(&count, value.data(), 4);
  EXPECT_EQ(count, 2 * kRounds);
  for (uint32_t n = 100; n < 100 + 2 * kRounds; ++n) {
    EXPECT_EQ(CreateUserFile(session, n, 1, XC_USER_FILE_OPEN, &file), 0) << "file " << n;
  }
}

TEST_F(StoreProcessTest, SecondSessionWaitsThenReportsBusy) {
  XcHandle first = Connect();
  XcHandle second = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectEkey(0, &second), XCST_TOKEN_BUSY);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(280));
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
  EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), XCST_TOKEN_BUSY);
  // Another device is another lock.
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 1), 0);
  Connect(1);
  Disconnect(first);
  Connect(0);
}

TEST_F(StoreProcessTest, WaitingConnectGetsTheTokenWhenItIsReleased) {
  setenv(kLockTimeoutVariable, "10000", 1);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    XcHandle session = 0;
    if (ConnectEkey(0, &session) != 0) _exit(1);
    char byte = 'r';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    usleep(300 * 1000);
    _exit(DisconnectEkey(session) == 0 ? 0 : 3);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  XcHandle session = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectEkey(0, &session), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  open_sessions_.push_back(session);
  EXPECT_EQ(WaitChild(pid), 0);
  close(ready[0]);
  close(ready[1]);
}

// Callers that find the token's lock held get it in the order they came,
// whatever order the system would wake them in, and a holder that lets
// the lock go and takes it back at once (a busy signing service) does not
// overtake them. Each waiter is started once the one before it has taken
// its ticket, which the first word of the lock file counts
// (softtoken/README.md).
TEST_F(StoreProcessTest, WaitersGetTheLockInTheOrderTheyCame) {
  constexpr int kWaiters = 6;
  constexpr int kRetakes = 20;
  setenv(kLockTimeoutVariable, "20000", 1);
  const std::string lock_path = dir_ + "/token-0.lock";
  auto tickets_taken = [&] {
    std::vector<uint8_t> page = ReadFileBytes(lock_path);
    uint32_t next = 0;
    if (page.size() >= sizeof(next)) std::memcpy(&next, page.data(), sizeof(next));
    return next;
  };
  StoreLock holder;
  ASSERT_EQ(holder.Acquire(lock_path), 0);
  const uint32_t before = tickets_taken();
  std::mutex order_mutex;
  std::vector<int> order;
  std::atomic<int> served{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      StoreLock lock;
      if (lock.Acquire(lock_path) != 0) return;
      std::lock_guard<std::mutex> hold(order_mutex);
      order.push_back(i);
      ++served;
    });
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (tickets_taken() != before + i + 1 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(tickets_taken(), before + i + 1) << "waiter " << i << " took no ticket";
  }
  int overtaken = 0;
  for (int i = 0; i < kRetakes; ++i) {
    holder.Release();
    ASSERT_EQ(holder.Acquire(lock_path), 0);
    if (served < kWaiters) ++overtaken;
  }
  holder.Release();
  for (std::thread &waiter : waiters) waiter.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(overtaken, 0) << "times the holder took the lock back before the waiters had it";
}

// Counter reads and adds to a four-byte counter in user file `number` of
// an open session.
struct Counter {
  XcHandle file = 0;
  uint32_t value = 0;

  bool Read(XcHandle session, uint32_t number) {
    uint8_t bytes[4] = {};
    uint32_t len = sizeof(bytes);
    if (CreateUserFile(session, number, 4, XC_USER_FILE_OPEN, &file) != 0 &&
        CreateUserFile(session, number, 4, XC_USER_FILE_CREATE, &file) != 0) {
      return false;
    }
    if (ReadUserFile(file, bytes, &len) != 0 || len != 4) return false;
    std::memcpy(&value, bytes, 4);
    return true;
  }
  bool WriteNext() {
    uint8_t bytes[4];
    uint32_t next = value + 1;
    std::memcpy(bytes, &next, 4);
    return WriteUserFile(file, bytes, 4) == 0;
  }
};

uint32_t CounterValue(uint32_t number) {
  XcHandle session = 0;
  Counter counter;
  if (ConnectEkey(0, &session) != 0) return ~0u;
  bool ok = counter.Read(session, number);
  DisconnectEkey(session);
  return ok ? counter.value : ~0u;
}

// A stale-lock cleaner deletes the lock file while a session holds it, and
// another process takes a new lock file at the name: whichever commits
// second over a store it did not read is refused, so no reported change is
// lost. A second process that only reads costs the first nothing.
TEST_F(StoreProcessTest, ALockFileDeletedUnderASessionLosesNoChange) {
  constexpr int kRounds = 10;
  setenv(kLockTimeoutVariable, "5000", 1);
  XcHandle setup = LoggedInSession();  // the children inherit the login
  Disconnect(setup);
  int reported = 0;
  int refused = 0;
  for (int round = 0; round < kRounds; ++round) {
    const bool other_writes = round % 2 == 0;
    XcHandle session = Connect();
    Counter mine;
    ASSERT_TRUE(mine.Read(session, 1));
    ASSERT_EQ(unlink((dir_ + "/token-0.lock").c_str()), 0);
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
      XcHandle own = 0;
      Counter theirs;
      if (ConnectEkey(0, &own) != 0 || !theirs.Read(own, 1)) _exit(1);
      if (other_writes && !theirs.WriteNext()) _exit(2);
      _exit(DisconnectEkey(own) == 0 ? 0 : 3);
    }
    ASSERT_EQ(WaitChild(other), 0) << "round " << round;
    reported += other_writes ? 1 : 0;
    ASSERT_TRUE(mine.WriteNext());
    const int32_t status = DisconnectEkey(session);
    open_sessions_.clear();
    if (status == 0) {
      ++reported;
    } else {
      EXPECT_EQ(status, XCST_STORE_CHANGED) << "round " << round;
      ++refused;
    }
  }
  EXPECT_EQ(CounterValue(1), static_cast<uint32_t>(reported)) << "reported changes were lost";
  EXPECT_EQ(refused, kRounds / 2) << "only a session overtaken by a commit is refused";
}

// Processes and threads mixing reads, writes and signatures on one token,
// 32 callers (4 processes of 8 threads) and 64 (16 of 4): no caller waits
// out the lock timeout, none waits long (waiters are served in the order
// they came; the bound leaves room for a loaded test machine, whose
// flushes are slow), and every counter holds exactly the changes its
// thread was told were made.
TEST_F(StoreProcessTest, ManyCallersAtOnceNeverTimeOut) {
  const auto kRunFor = std::chrono::seconds(std::getenv("OBKEY_TEST_RUN_SECONDS") != nullptr
                                                ? std::atoi(std::getenv("OBKEY_TEST_RUN_SECONDS"))
                                                : 3);
  constexpr long kLongestWaitMs = 4000;
  setenv(kLockTimeoutVariable, "10000", 1);
  XcHandle setup = LoggedInSession();
  ASSERT_EQ(GenRSAKey(Container(setup, "SIG"), XC_KEY_SIGNATURE), 0);
  Disconnect(setup);
  const struct {
    int processes, threads;
    uint32_t first_file;  // each thread counts in a file of its own
  } points[] = {{4, 8, 1000}, {16, 4, 2000}};
  for (const auto &point : points) {
    SCOPED_TRACE(std::to_string(point.processes) + " x " + std::to_string(point.threads));
    std::vector<pid_t> children;
    for (int process = 0; process < point.processes; ++process) {
      children.push_back(fork());
      ASSERT_GE(children.back(), 0);
      if (children.back() != 0) continue;
      std::atomic<int> failures{0};
      std::atomic<long> worst_wait_ms{0};
      auto worker = [&](uint32_t number) {
        const auto stop = std::chrono::steady_clock::now() + kRunFor;
        uint32_t made = 0;
        while (std::chrono::steady_clock::now() < stop) {
          const auto start = std::chrono::steady_clock::now();
          XcHandle session = 0;
          if (ConnectEkey(0, &session) != 0) {
            ++failures;
            continue;
          }
          const long waited =
              static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
          if (waited > worst_wait_ms) worst_wait_ms = waited;
          bool ok = true;
          if (number % 2 == 0) {
            Counter counter;
            ok = counter.Read(session, number) && counter.value == made && counter.WriteNext();
          } else {
            XcHandle container = 0;
            uint8_t block[20] = {1};
            uint8_t signature[128];
            uint32_t len = sizeof(signature);
            ok = SetCurContainer(session, XC_SLOT_SIGNATURE, &container) == 0 &&
                 RSASign(container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE) == 0;
          }
          const int32_t committed = DisconnectEkey(session);
          if (ok && committed == 0 && number % 2 == 0) ++made;
          if (!ok || committed != 0) ++failures;
        }
        if (number % 2 == 0 && CounterValue(number) != made) ++failures;
      };
      std::vector<std::thread> threads;
      for (int t = 0; t < point.threads; ++t) {
        threads.emplace_back(worker, point.first_file + process * point.threads + t);
      }
      for (std::thread &thread : threads) thread.join();
      std::fprintf(stderr, "%d x %d, process %d: %d failed calls, worst wait %ld ms\n",
                   point.processes, point.threads, process, failures.load(), worst_wait_ms.load());
      if (failures != 0) _exit(1);
      _exit(worst_wait_ms < kLongestWaitMs ? 0 : 2);
    }
    for (pid_t child : children) {
      EXPECT_EQ(WaitChild(child), 0) << "1: a call failed or timed out, 2: a wait of 4 s or more";
    }
  }
}

}  // namespace
}  // namespace obkey::softtoken::testing

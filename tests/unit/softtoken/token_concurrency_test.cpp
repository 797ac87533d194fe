// Kept stores, keys and lock files against other processes and threads: a
// change made elsewhere is seen by the next call, and threads share the
// kept keys safely.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "key_cache.h"
#include "pin.h"
#include "rsa_test_keys.h"
#include "session.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using Blob = std::vector<uint8_t>;

int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Blob TestBlock(uint8_t seed) {
  Blob block(XC_RSA_BLOCK);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(seed + i * 29);
  block[0] = 0;  // below any 1024-bit modulus
  return block;
}

// SignRaw signs a whole block with the signature key of slot 0; empty on
// failure, with the status in `*out_status`.
Blob SignRaw(XcHandle session, const Blob &block, int32_t *out_status = nullptr) {
  XcHandle container = 0;
  Blob signature(XC_RSA_BLOCK);
  uint32_t len = XC_RSA_BLOCK;
  int32_t status = SetCurContainer(session, XC_SLOT_SIGNATURE, &container);
  if (status == 0) {
    status = RSASign(container, block.data(), static_cast<uint32_t>(block.size()), signature.data(),
                     &len, XC_KEY_SIGNATURE);
  }
  if (out_status != nullptr) *out_status = status;
  if (status != 0) signature.clear();
  return signature;
}

class TokenConcurrencyTest : public TokenTest {
 protected:
  // ImportKey puts `key` as the signature pair of container "SIG" on the
  // token of `session`.
  static void ImportKey(XcHandle session, EVP_PKEY *key) {
    XcHandle container = 0;
    if (CreateContainer(session, "SIG", &container, XC_CONTAINER_CREATE) != 0) {
      ASSERT_EQ(CreateContainer(session, "SIG", &container, XC_CONTAINER_OPEN), 0);
    }
    Blob der = StrictDer(key);
    ASSERT_EQ(WriteRSAKey(container, 0, 0, der.data(), static_cast<uint32_t>(der.size()),
                          XC_KEY_SIGNATURE),
              0);
  }
};

// Process A keeps the store and the parsed key; process B changes the
// token; A's next call must see B's token.
TEST_F(TokenConcurrencyTest, ChangeByAnotherProcessIsSeenWhileAKeyIsKept) {
  enum class Change { kImportKey, kFormat };
  const struct {
    const char *what;
    Change change;
  } cases[] = {{"B imports a key pair", Change::kImportKey}, {"B formats", Change::kFormat}};
  setenv(kLockTimeoutVariable, "10000", 1);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
    Pkey key_a = NewRsaKey(1024);
    Pkey key_b = NewRsaKey(1024);
    XcHandle session = LoggedInSession();
    ImportKey(session, key_a.get());
    Disconnect(session);

    // From here on A keeps what it reads; it signs once to parse the key.
    SetStoreSettleMsForTesting(0);
    const Blob block = TestBlock(7);
    session = Connect();
    EXPECT_EQ(SignRaw(session, block), RawPrivate(key_a.get(), block));
    Disconnect(session);
    session = Connect();
    EXPECT_EQ(SignRaw(session, block), RawPrivate(key_a.get(), block)) << "kept key";
    Disconnect(session);
    ASSERT_GE(CachedKeyCount(), 1u);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int32_t status = 0;
      if (c.change == Change::kImportKey) {
        XcHandle child = 0;
        if (ConnectEkey(0, &child) != 0 || Login(child) != 0) _exit(1);
        XcHandle container = 0;
        Blob der = StrictDer(key_b.get());
        status = CreateContainer(child, "SIG", &container, XC_CONTAINER_OPEN);
        if (status == 0) {
          status = WriteRSAKey(container, 0, 0, der.data(), static_cast<uint32_t>(der.size()),
                               XC_KEY_SIGNATURE);
        }
        DisconnectEkey(child);
      } else {
        status = FormatToken(kInitialAdminPin, kInitialAdminPin, 0);
      }
      _exit(status == 0 ? 0 : 2);
    }
    ASSERT_EQ(WaitChild(pid), 0);

    session = Connect();
    int32_t status = 0;
    Blob signature = SignRaw(session, block, &status);
    if (c.change == Change::kImportKey) {
      EXPECT_EQ(signature, RawPrivate(key_b.get(), block));
    } else {
      EXPECT_EQ(status, XCST_CONTAINER_NOT_FOUND);
      EXPECT_EQ(Login(session, "wrong-pin"), XCST_PIN_INCORRECT) << "not the formatted token";
    }
    Disconnect(session);
    SetStoreSettleMsForTesting(-1);
  }
}

// Several threads sign and check signatures at once, each on a token of
// its own (kept stores, kept keys, idle lock files all shared in one
// process), and all on one parsed key directly.
TEST_F(TokenConcurrencyTest, ThreadsSignAndVerifyAtOnce) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 30;
  Pkey key = NewRsaKey(1024);
  for (int device = 1; device <= kThreads; ++device) {
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, device), 0);
    XcHandle session = Connect(device);
    ASSERT_EQ(Login(session), 0);
    ImportKey(session, key.get());
    Disconnect(session);
  }
  SetStoreSettleMsForTesting(0);
  std::vector<Blob> blocks, expected;
  for (int i = 0; i < kRounds; ++i) {
    blocks.push_back(TestBlock(static_cast<uint8_t>(i)));
    expected.push_back(RawPrivate(key.get(), blocks.back()));
  }
  std::shared_ptr<const RsaKey> shared;
  StoreStamp stamp;
  ASSERT_EQ(CachedClearKey("shared-token", stamp, WithClearKey(0, 1, Secret(StrictDer(key.get()))),
                           0, 1, &shared),
            0);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const Blob &block = blocks[(i + t) % kRounds];
        const Blob &want = expected[(i + t) % kRounds];
        XcHandle session = 0;
        XcHandle container = 0;
        if (ConnectEkey(t + 1, &session) != 0) {
          ++failures;
          continue;
        }
        Blob signature = SignRaw(session, block);
        Blob recovered(XC_RSA_BLOCK);
        uint32_t len = XC_RSA_BLOCK;
        bool ok = signature == want &&
                  SetCurContainer(session, XC_SLOT_SIGNATURE, &container) == 0 &&
                  RSAEncrypt(container, signature.data(), XC_RSA_BLOCK, recovered.data(), &len,
                             XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG) == 0 &&
                  recovered == block;
        ok = DisconnectEkey(session) == 0 && ok;
        // The same key object from every thread, outside any token call.
        RsaBlock in{}, out{}, back{};
        std::copy(block.begin(), block.end(), in.begin());
        ok = ok && shared->PrivateRaw(in, &out) == 0 && Blob(out.begin(), out.end()) == want &&
             shared->PublicRaw(out, &back) == 0 && back == in;
        if (!ok) ++failures;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// Threads that share one session sign and read at once: a sign lets the
// lock go, and the next call of any of them takes it back, one thread at a
// time, so that none waits for the lock its own session holds.
TEST_F(TokenConcurrencyTest, ThreadsOfOneSessionTakeItsLockBackInTurn) {
  setenv(kLockTimeoutVariable, "1000", 1);
  Pkey key = NewRsaKey(1024);
  XcHandle session = LoggedInSession();
  ImportKey(session, key.get());
  const Blob block = TestBlock(3);
  const Blob want = RawPrivate(key.get(), block);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        uint8_t param[XC_EKEY_PARAM_SIZE];
        uint32_t len = sizeof(param);
        if (SignRaw(session, block) != want ||
            GetEkeyParam(session, XC_EKEY_PARAM_CERT_COUNT, param, &len, 0) != 0) {
          ++failures;
        }
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// The other thread's call and the other process's commit that the test
// below runs in the gap after a call took its session's lock back.
struct Gap {
  static XcHandle session;
  static Blob block;
  static bool signed_ok;
  static int other_exit;
  static void Run() {
    SetLockTakenBackHookForTesting(nullptr);
    // A signing thread of the same session lets the lock go again...
    std::thread signer([] { signed_ok = !SignRaw(session, block).empty(); });
    signer.join();
    // ...and another process commits meanwhile.
    const pid_t other = fork();
    if (other == 0) {
      XcHandle own = 0, file = 0;
      if (ConnectEkey(0, &own) != 0) _exit(1);
      if (CreateUserFile(own, 71, 1, XC_USER_FILE_CREATE, &file) != 0) _exit(2);
      _exit(DisconnectEkey(own) == 0 ? 0 : 3);
    }
    other_exit = WaitChild(other);
  }
};
XcHandle Gap::session = 0;
Blob Gap::block;
bool Gap::signed_ok = false;
int Gap::other_exit = -1;

// A writer and a signer share one session while another process commits:
// the signer lets the lock go just after the writer's call took it back,
// and the other process commits then. The write is staged under the lock
// all the same, and kept beside the other process's change.
TEST_F(TokenConcurrencyTest, ASharedSessionNeverStagesAChangeWithoutTheLock) {
  setenv(kLockTimeoutVariable, "5000", 1);
  Pkey key = NewRsaKey(1024);
  XcHandle setup = LoggedInSession();
  ImportKey(setup, key.get());
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(setup, 70, 1, XC_USER_FILE_CREATE, &file), 0);
  Disconnect(setup);
  Gap::session = Connect();
  Gap::block = TestBlock(5);
  ASSERT_EQ(CreateUserFile(Gap::session, 70, 1, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_FALSE(SignRaw(Gap::session, Gap::block).empty());  // lets the lock go
  SetLockTakenBackHookForTesting(Gap::Run);
  EXPECT_EQ(WriteUserFile(file, Bytes("w"), 1), 0);
  SetLockTakenBackHookForTesting(nullptr);
  EXPECT_TRUE(Gap::signed_ok);
  EXPECT_EQ(Gap::other_exit, 0);
  EXPECT_FALSE(SignRaw(Gap::session, Gap::block).empty());
  Disconnect(Gap::session);
  XcHandle check = Connect();
  uint8_t byte = 0;
  uint32_t len = 1;
  ASSERT_EQ(CreateUserFile(check, 70, 1, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_EQ(ReadUserFile(file, &byte, &len), 0);
  EXPECT_EQ(byte, 'w') << "the write was lost";
  EXPECT_EQ(CreateUserFile(check, 71, 1, XC_USER_FILE_OPEN, &file), 0);
}

// An idle lock file kept open by this process must never let it in while
// another process holds the token's lock: not when the process was forked
// from the one that opened it (a lock belongs to the opening, which fork
// shares), and not when the file was deleted and made anew meanwhile.
TEST_F(TokenConcurrencyTest, IdleLockFileNeverAdmitsTwoProcesses) {
  const struct {
    const char *what;
    bool delete_lock_file;
  } cases[] = {{"child forked with the idle opening", false},
               {"lock file deleted while idle", true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    setenv(kLockTimeoutVariable, "300", 1);
    Disconnect(Connect());  // leaves the lock file open and idle here
    if (c.delete_lock_file) {
      ASSERT_EQ(unlink((dir_ + "/token-0.lock").c_str()), 0);
    }
    int holding[2], done[2];
    ASSERT_EQ(pipe(holding), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv(kLockTimeoutVariable, "5000", 1);
      XcHandle child = 0;
      if (ConnectEkey(0, &child) != 0) _exit(1);
      char byte = 'h';
      if (write(holding[1], &byte, 1) != 1 || read(done[0], &byte, 1) != 1) _exit(2);
      _exit(DisconnectEkey(child) == 0 ? 0 : 3);
    }
    char byte = 0;
    ASSERT_EQ(read(holding[0], &byte, 1), 1);
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), XCST_TOKEN_BUSY);
    if (session != 0) DisconnectEkey(session);
    ASSERT_EQ(write(done[1], "d", 1), 1);
    EXPECT_EQ(WaitChild(pid), 0);
    for (int fd : {holding[0], holding[1], done[0], done[1]}) close(fd);
    Disconnect(Connect());
  }
}

// ConnectsInAnotherProcess says whether a process of its own, waiting up
// to a second, gets the token of `device`.
bool ConnectsInAnotherProcess(int device = 0) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv(kLockTimeoutVariable, "1000", 1);
    XcHandle session = 0;
    _exit(ConnectEkey(device, &session) == 0 && DisconnectEkey(session) == 0 ? 0 : 1);
  }
  return WaitChild(pid) == 0;
}

// SleeperChild forks a child that lives until `*out_wake` is closed (by
// every process that holds it).
pid_t SleeperChild(int *out_wake) {
  int wake[2];
  if (pipe(wake) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(wake[1]);
    char byte;
    while (read(wake[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(wake[0]);
  *out_wake = wake[1];
  return pid;
}

// A forked child never holds its parent's lock: not the one a waiter of
// the parent is granted after the child was forked (a connect that timed
// out leaves its waiter), and not the one of a session the parent leaves
// by exiting without a disconnect while the child lives on (a token the
// parent was the first here to lock, so that the child inherits whatever
// the parent set up for it).
TEST_F(TokenConcurrencyTest, AForkedChildNeverHoldsItsParentsLock) {
  {
    SCOPED_TRACE("a connect timed out, then a child was forked");
    int held[2], release[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
      XcHandle session = 0;
      char byte = 'h';
      if (ConnectEkey(0, &session) != 0 || write(held[1], &byte, 1) != 1) _exit(1);
      if (read(release[0], &byte, 1) != 1) _exit(2);
      _exit(DisconnectEkey(session) == 0 ? 0 : 3);
    }
    char byte = 0;
    ASSERT_EQ(read(held[0], &byte, 1), 1);
    setenv(kLockTimeoutVariable, "100", 1);
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), XCST_TOKEN_BUSY);
    int wake = -1;
    const pid_t sleeper = SleeperChild(&wake);
    ASSERT_GT(sleeper, 0);
    ASSERT_EQ(write(release[1], "r", 1), 1);
    EXPECT_EQ(WaitChild(holder), 0);
    EXPECT_TRUE(ConnectsInAnotherProcess());
    close(wake);
    EXPECT_EQ(WaitChild(sleeper), 0);
    for (int fd : {held[0], held[1], release[0], release[1]}) close(fd);
  }
  {
    SCOPED_TRACE("a process exited holding a session, its child lives on");
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    const pid_t parent = fork();
    if (parent == 0) {
      XcHandle session = 0;
      if (FormatToken(kInitialAdminPin, kInitialAdminPin, 5) != 0 ||
          ConnectEkey(5, &session) != 0) {
        _exit(1);
      }
      if (fork() == 0) {
        close(wake[1]);
        char byte;
        while (read(wake[0], &byte, 1) > 0) {
        }
        _exit(0);
      }
      _exit(0);
    }
    close(wake[0]);
    EXPECT_EQ(WaitChild(parent), 0);
    EXPECT_TRUE(ConnectsInAnotherProcess(5));
    close(wake[1]);
  }
}

// A session that has staged nothing lets the store's lock go for its RSA
// operation: another process works meanwhile, and the session's next call
// takes in what it committed, so a later change of the session is kept
// beside it. A token formatted meanwhile ends the session's container
// handle. A session with a staged change keeps the lock through its
// signature.
TEST_F(TokenConcurrencyTest, ASigningSessionHoldsTheLockOnlyWhileItMayWrite) {
  Pkey key = NewRsaKey(1024);
  enum class Other { kReads, kWrites, kFormats };
  struct Case {
    const char *what;
    bool stage_first;
    Other other;
    int other_exit;  // 10: refused busy
    int32_t sign_again;
  };
  const Case cases[] = {
      {"read-only other", false, Other::kReads, 0, 0},
      {"other commits: taken in, a later change kept too", false, Other::kWrites, 0, 0},
      {"other formats: the container handle ends", false, Other::kFormats, 0, XCST_BAD_HANDLE},
      {"staged before signing: the lock stays", true, Other::kWrites, 10, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
    XcHandle setup = LoggedInSession();
    ImportKey(setup, key.get());
    Disconnect(setup);
    XcHandle session = LoggedInSession();
    XcHandle file = 0;
    if (c.stage_first) {
      ASSERT_EQ(CreateUserFile(session, 70, 1, XC_USER_FILE_CREATE, &file), 0);
    }
    XcHandle container = 0;
    ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0);
    Blob signature(XC_RSA_BLOCK);
    uint32_t len = XC_RSA_BLOCK;
    const Blob block = TestBlock(1);
    ASSERT_EQ(
        RSASign(container, block.data(), XC_RSA_BLOCK, signature.data(), &len, XC_KEY_SIGNATURE),
        0);
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
      if (c.other == Other::kFormats) {
        _exit(FormatToken(kInitialAdminPin, kInitialAdminPin, 0) == 0 ? 0 : 11);
      }
      XcHandle own = 0;
      const int32_t connected = ConnectEkey(0, &own);
      if (connected != 0) _exit(connected == XCST_TOKEN_BUSY ? 10 : 11);
      XcHandle own_file = 0;
      if (c.other == Other::kWrites &&
          CreateUserFile(own, 71, 1, XC_USER_FILE_CREATE, &own_file) != 0) {
        _exit(12);
      }
      _exit(DisconnectEkey(own) == 0 ? 0 : 13);
    }
    EXPECT_EQ(WaitChild(other), c.other_exit);
    len = XC_RSA_BLOCK;
    EXPECT_EQ(
        RSASign(container, block.data(), XC_RSA_BLOCK, signature.data(), &len, XC_KEY_SIGNATURE),
        c.sign_again);
    if (!c.stage_first) {
      ASSERT_EQ(CreateUserFile(session, 70, 1, XC_USER_FILE_CREATE, &file), 0);
    }
    EXPECT_EQ(DisconnectEkey(session), 0);
    open_sessions_.clear();
    XcHandle check = Connect();
    const bool other_kept = c.other == Other::kWrites && c.other_exit == 0;
    EXPECT_EQ(CreateUserFile(check, 70, 1, XC_USER_FILE_OPEN, &file), 0);
    EXPECT_EQ(CreateUserFile(check, 71, 1, XC_USER_FILE_OPEN, &file) == 0, other_kept);
    Disconnect(check);
  }
}

// A login's PIN derivation takes a fraction of a second: another session
// of the token (here of the same process, which also needs the process's
// tables) connects, works and ends meanwhile, once the try is paid.
TEST_F(TokenConcurrencyTest, ASessionGoesOnWhileAnotherDerivesItsPin) {
  setenv(kScryptLog2NVariable, "16", 1);
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  setenv(kScryptLog2NVariable, "10", 1);
  struct stat before {};
  ASSERT_EQ(stat(StorePath().c_str(), &before), 0);
  using Clock = std::chrono::steady_clock;
  Clock::time_point login_done, other_done;
  std::thread login([&] {
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), 0);
    EXPECT_EQ(Login(session), 0);
    login_done = Clock::now();
    EXPECT_EQ(DisconnectEkey(session), 0);
  });
  // The paid try replaces the store; the derivation comes after it.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(10);
  struct stat now {};
  while (Clock::now() < give_up &&
         (stat(StorePath().c_str(), &now) != 0 || now.st_ino == before.st_ino)) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  XcHandle other = 0;
  EXPECT_EQ(ConnectEkey(0, &other), 0);
  uint8_t random[8];
  EXPECT_EQ(GenRandom(other, random, sizeof(random)), 0);
  EXPECT_EQ(DisconnectEkey(other), 0);
  other_done = Clock::now();
  login.join();
  EXPECT_LT(other_done, login_done) << "the other session waited for the derivation";
}

// A PIN changed while another session derives the old one: that session's
// try is checked again against the new PIN, a wrong PIN that costs a try,
// never a restored counter and a token key the old PIN does not open.
TEST_F(TokenConcurrencyTest, APinChangedDuringAnotherLoginMakesItAWrongPin) {
  setenv(kLockTimeoutVariable, "20000", 1);
  setenv(kScryptLog2NVariable, "16", 1);
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  setenv(kScryptLog2NVariable, "10", 1);
  struct stat before {};
  ASSERT_EQ(stat(StorePath().c_str(), &before), 0);
  int32_t old_pin_login = -1;
  std::thread login([&] {
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), 0);
    old_pin_login = Login(session);
    DisconnectEkey(session);
  });
  // The paid try replaces the store; the derivation comes after it.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  struct stat now {};
  bool paid = false;
  while (!paid && std::chrono::steady_clock::now() < give_up) {
    paid = stat(StorePath().c_str(), &now) == 0 && now.st_ino != before.st_ino;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  EXPECT_TRUE(paid) << "the login never paid its try";
  XcHandle changer = Connect();
  ASSERT_EQ(ChangePin(changer, Bytes(kInitialUserPin), Len(kInitialUserPin), Bytes("new pin!"), 8,
                      XC_PIN_USER),
            0);
  Disconnect(changer);
  login.join();
  EXPECT_EQ(old_pin_login, XCST_PIN_INCORRECT);
  TokenState stored;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
  EXPECT_EQ(stored.user_pin.tries_left, kUserPinTries - 1);
  XcHandle session = Connect();
  EXPECT_EQ(Login(session, "new pin!"), 0);
}

// Wrong PINs tried at once from many sessions each cost a try: none is lost
// to another's derivation, and the last try locks the PIN.
TEST_F(TokenConcurrencyTest, WrongPinsTriedAtOnceEachCostATry) {
  // Each connect waits for the sessions before it to pay their tries: ample
  // time, so that a slow (instrumented) build makes none give up.
  setenv(kLockTimeoutVariable, "20000", 1);
  std::vector<std::thread> guessers;
  std::atomic<int> wrong{0};
  for (int i = 0; i < kUserPinTries; ++i) {
    guessers.emplace_back([&] {
      XcHandle session = 0;
      if (ConnectEkey(0, &session) != 0) return;
      const int32_t status = Login(session, "000000");
      if (status == XCST_PIN_INCORRECT || status == XCST_PIN_LOCKED) ++wrong;
      DisconnectEkey(session);
    });
  }
  for (std::thread &guesser : guessers) guesser.join();
  EXPECT_EQ(wrong, kUserPinTries);
  XcHandle session = Connect();
  EXPECT_EQ(Login(session), XCST_PIN_LOCKED);
}

// Logins at once on a fresh token (a service starting its workers), each
// with a session of its own: they are answered as if they had come one
// after the other. Every right PIN succeeds, however many pay their try
// before the first is settled; of sixteen wrong ones the first nine say
// so, the tenth locks the PIN, the rest find it locked.
TEST_F(TokenConcurrencyTest, PinsTriedAtOnceAreAnsweredAsInSomeOrder) {
  constexpr int kAtOnce = 16;
  setenv(kLockTimeoutVariable, "30000", 1);
  struct Case {
    const char *pin;
    int succeeded, incorrect, locked;
  };
  const Case cases[] = {{kInitialUserPin, kAtOnce, 0, 0}, {"000000", 0, 9, 7}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pin);
    // A derivation long enough for every try to be paid before the first
    // is settled.
    setenv(kScryptLog2NVariable, "14", 1);
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
    setenv(kScryptLog2NVariable, "10", 1);
    std::atomic<int> ready{0}, succeeded{0}, incorrect{0}, locked{0}, other{0};
    std::vector<std::thread> logins;
    for (int i = 0; i < kAtOnce; ++i) {
      logins.emplace_back([&] {
        XcHandle session = 0;
        if (ConnectEkey(0, &session) != 0) {
          ++other;
          return;
        }
        DisconnectEkey(session);
        ++ready;
        while (ready < kAtOnce) std::this_thread::yield();
        int32_t status = ConnectEkey(0, &session);
        if (status == 0) status = Login(session, c.pin);
        DisconnectEkey(session);
        ++(status == 0                    ? succeeded
           : status == XCST_PIN_INCORRECT ? incorrect
           : status == XCST_PIN_LOCKED    ? locked
                                          : other);
      });
    }
    for (std::thread &login : logins) login.join();
    EXPECT_EQ(succeeded, c.succeeded);
    EXPECT_EQ(incorrect, c.incorrect);
    EXPECT_EQ(locked, c.locked);
    EXPECT_EQ(other, 0);
  }
}

// One process replaces the key and counts a file up while three sign for a
// bounded time: every signature is by one of the two keys, never torn or
// failed, and every change the writer was told of is there.
TEST_F(TokenConcurrencyTest, AWriterAndSignersTogetherLoseNothing) {
  constexpr auto kRunFor = std::chrono::milliseconds(1500);
  constexpr int kSigners = 3;
  setenv(kLockTimeoutVariable, "5000", 1);
  Pkey keys[2] = {NewRsaKey(1024), NewRsaKey(1024)};
  const Blob block = TestBlock(9);
  const Blob by_key[2] = {RawPrivate(keys[0].get(), block), RawPrivate(keys[1].get(), block)};
  XcHandle setup = LoggedInSession();
  ImportKey(setup, keys[0].get());
  XcHandle counter = 0;
  ASSERT_EQ(CreateUserFile(setup, 1, 4, XC_USER_FILE_CREATE, &counter), 0);
  Disconnect(setup);
  int written[2];
  ASSERT_EQ(pipe(written), 0);
  auto run_until = [&](auto body) {
    const auto stop = std::chrono::steady_clock::now() + kRunFor;
    int rounds = 0;
    while (std::chrono::steady_clock::now() < stop) {
      if (!body(rounds++)) _exit(1);
    }
    return rounds;
  };
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    uint32_t told = 0;
    run_until([&](int round) {
      XcHandle session = 0;
      if (ConnectEkey(0, &session) != 0) return false;
      ImportKey(session, keys[round % 2].get());
      XcHandle file = 0;
      uint8_t value[4] = {};
      uint32_t len = 4;
      bool ok = CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &file) == 0 &&
                ReadUserFile(file, value, &len) == 0;
      uint32_t count = 0;
      std::memcpy(&count, value, 4);
      ++count;
      std::memcpy(value, &count, 4);
      ok = ok && WriteUserFile(file, value, 4) == 0 && DisconnectEkey(session) == 0;
      if (ok) ++told;
      return ok;
    });
    _exit(write(written[1], &told, sizeof(told)) == sizeof(told) ? 0 : 2);
  }
  std::vector<pid_t> signers;
  for (int i = 0; i < kSigners; ++i) {
    signers.push_back(fork());
    ASSERT_GE(signers.back(), 0);
    if (signers.back() != 0) continue;
    int rounds = run_until([&](int) {
      XcHandle session = 0;
      if (ConnectEkey(0, &session) != 0) return false;
      const Blob signature = SignRaw(session, block);
      return DisconnectEkey(session) == 0 && (signature == by_key[0] || signature == by_key[1]);
    });
    _exit(rounds > 0 ? 0 : 3);
  }
  EXPECT_EQ(WaitChild(writer), 0);
  for (pid_t signer : signers) EXPECT_EQ(WaitChild(signer), 0) << "1: a failed or torn signature";
  uint32_t told = 0;
  ASSERT_EQ(read(written[0], &told, sizeof(told)), static_cast<ssize_t>(sizeof(told)));
  close(written[0]);
  close(written[1]);
  XcHandle session = Connect();
  uint8_t value[4] = {};
  uint32_t len = 4;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &counter), 0);
  ASSERT_EQ(ReadUserFile(counter, value, &len), 0);
  uint32_t count = 0;
  std::memcpy(&count, value, 4);
  EXPECT_EQ(count, told);
  EXPECT_GT(told, 0u);
}

}  // namespace
}  // namespace obkey::softtoken::testing

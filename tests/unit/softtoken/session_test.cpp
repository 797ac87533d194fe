// Connecting, unreadable stores, handles and random numbers.
#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using SessionTest = TokenTest;

TEST_F(SessionTest, NoStoreIsNoToken) {
  XcHandle session = 0x55;
  EXPECT_EQ(ConnectEkey(3, &session), XCST_NO_TOKEN);
  EXPECT_EQ(ConnectEkey(-1, &session), XCST_NO_TOKEN);
  EXPECT_EQ(session, 0x55u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/token-3.lock"));
  EXPECT_EQ(ConnectEkey(0, nullptr), XCST_BAD_ARGUMENT);
  setenv(kTokenDirVariable, (dir_ + "/missing").c_str(), 1);
  EXPECT_EQ(ConnectEkey(0, &session), XCST_NO_TOKEN);
}

TEST_F(SessionTest, UnreadableStoresAreRefusedAndLeftAlone) {
  const std::vector<uint8_t> good = ReadFileBytes(StorePath());
  ASSERT_GT(good.size(), kStoreHeaderSize);
  struct Case {
    const char *what;
    std::vector<uint8_t> file;
    int32_t expected;
  };
  const Case cases[] = {
      {"empty file", {}, XCST_STORE_CORRUPT},
      {"half a store", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2),
       XCST_STORE_CORRUPT},
      {"flipped body bit",
       [&] {
         auto f = good;
         f[good.size() - 5] ^= 4;
         return f;
       }(),
       XCST_STORE_CORRUPT},
      {"version 5",
       [&] {
         auto f = good;
         f[8] = 5;
         return f;
       }(),
       XCST_STORE_VERSION},
      {"other file", std::vector<uint8_t>(300, 'x'), XCST_STORE_CORRUPT},
      {"oversized", std::vector<uint8_t>(kMaxStoreSize + 1, 0), XCST_STORE_CORRUPT},
  };
  for (const Case &c : cases) {
    WriteFileBytes(StorePath(), c.file);
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), c.expected) << c.what;
    EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), c.expected) << c.what;
    EXPECT_EQ(ReadFileBytes(StorePath()), c.file) << c.what << ": store was rewritten";
  }
  // The refused connects released the lock: a repaired store opens at once.
  WriteFileBytes(StorePath(), good);
  Connect();
}

// A link planted in place of a token file is never followed: the store
// and the lock file refuse the connect; a link at the temporary file is
// removed and the store written afresh beside it.
TEST_F(SessionTest, PlantedLinksAreNotFollowed) {
  const std::vector<uint8_t> good = ReadFileBytes(StorePath());
  WriteFileBytes(dir_ + "/elsewhere", good);
  struct Case {
    const char *what;
    std::string link;
    bool connect_fails;
  };
  const Case cases[] = {
      {"store", StorePath(), true},
      {"lock file", dir_ + "/token-0.lock", true},
      {"temporary file", StorePath() + ".tmp", false},
  };
  for (const Case &c : cases) {
    std::filesystem::remove(c.link);
    std::filesystem::create_symlink(dir_ + "/elsewhere", c.link);
    XcHandle session = 0;
    if (c.connect_fails) {
      EXPECT_EQ(ConnectEkey(0, &session), XCST_STORE_IO) << c.what;
    } else {
      session = LoggedInSession();
      XcHandle file = 0;
      EXPECT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
      Disconnect(session);
      EXPECT_FALSE(std::filesystem::is_symlink(c.link)) << c.what;
      session = Connect();
      EXPECT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &file), 0) << c.what;
      Disconnect(session);
    }
    EXPECT_EQ(ReadFileBytes(dir_ + "/elsewhere"), good) << c.what << ": link target changed";
    std::filesystem::remove(c.link);
    WriteFileBytes(StorePath(), good);
  }
}

// A FIFO planted at the store or the lock file would hold every caller
// (and the lock) until someone wrote to it: it is refused at once.
TEST_F(SessionTest, AFifoAtAStoreOrLockPathIsRefusedAtOnce) {
  for (const std::string name : {"token-0.db", "token-0.lock"}) {
    SCOPED_TRACE(name);
    ForgetAllParsedStores();
    ASSERT_TRUE(std::filesystem::remove(dir_ + "/" + name));
    ASSERT_EQ(mkfifo((dir_ + "/" + name).c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), XCST_STORE_IO);
    EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), XCST_STORE_IO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ASSERT_TRUE(std::filesystem::remove(dir_ + "/" + name));
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  }
}

TEST_F(SessionTest, EveryCallRefusesUnknownAndClosedHandles) {
  XcHandle session = LoggedInSession();
  XcHandle container = Container(session, "SIG");
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  Disconnect(session);
  EXPECT_EQ(DisconnectEkey(session), XCST_BAD_HANDLE);
  EXPECT_EQ(DisconnectEkey(0), XCST_BAD_HANDLE);

  uint8_t buf[256] = {};
  uint32_t len = sizeof(buf);
  XcHandle out = 0;
  const std::vector<
      std::pair<const char *, std::function<int32_t(XcHandle s, XcHandle c, XcHandle f)>>>
      calls = {
          {"VerifyPin", [&](XcHandle s, XcHandle, XcHandle) { return Login(s); }},
          {"ChangePin",
           [&](XcHandle s, XcHandle, XcHandle) { return ChangePin(s, buf, 4, buf, 4, 2); }},
          {"CreateContainer",
           [&](XcHandle s, XcHandle, XcHandle) { return CreateContainer(s, "SIG", &out, 1); }},
          {"SetCurContainer",
           [&](XcHandle s, XcHandle, XcHandle) { return SetCurContainer(s, 0, &out); }},
          {"GenRandom", [&](XcHandle s, XcHandle, XcHandle) { return GenRandom(s, buf, 8); }},
          {"GetEkeyParam",
           [&](XcHandle s, XcHandle, XcHandle) { return GetEkeyParam(s, 8, buf, &len, 0); }},
          {"CreateUserFile",
           [&](XcHandle s, XcHandle, XcHandle) { return CreateUserFile(s, 1, 4, 9, &out); }},
          {"GetContainerParam",
           [&](XcHandle, XcHandle c, XcHandle) { return GetContainerParam(c, 2, buf, &len, 0); }},
          {"GenRSAKey", [&](XcHandle, XcHandle c, XcHandle) { return GenRSAKey(c, 2); }},
          {"RSAEncrypt",
           [&](XcHandle, XcHandle c, XcHandle) { return RSAEncrypt(c, buf, 10, buf, &len, 2); }},
          {"RSADecrypt",
           [&](XcHandle, XcHandle c, XcHandle) { return RSADecrypt(c, buf, 128, buf, &len, 2); }},
          {"RSASign",
           [&](XcHandle, XcHandle c, XcHandle) { return RSASign(c, buf, 10, buf, &len, 0x102); }},
          {"ReadRSAPubKey",
           [&](XcHandle, XcHandle c, XcHandle) { return ReadRSAPubKey(c, buf, &len, 2); }},
          {"WriteRSAKey",
           [&](XcHandle, XcHandle c, XcHandle) { return WriteRSAKey(c, 0, 0, buf, 10, 2); }},
          {"WriteCert", [&](XcHandle, XcHandle c, XcHandle) { return WriteCert(c, buf, 10, 2); }},
          {"ReadCert", [&](XcHandle, XcHandle c, XcHandle) { return ReadCert(c, buf, &len, 2); }},
          {"ReadUserFile",
           [&](XcHandle, XcHandle, XcHandle f) { return ReadUserFile(f, buf, &len); }},
          {"WriteUserFile",
           [&](XcHandle, XcHandle, XcHandle f) { return WriteUserFile(f, buf, 4); }},
          {"DeleteUserFile", [&](XcHandle, XcHandle, XcHandle f) { return DeleteUserFile(f); }},
      };
  XcHandle live = Connect();
  for (const auto &[name, call] : calls) {
    EXPECT_EQ(call(0, 0, 0), XCST_BAD_HANDLE) << name << " with handle 0";
    EXPECT_EQ(call(session, container, file), XCST_BAD_HANDLE) << name << " after disconnect";
    // A handle of one kind is not a handle of another.
    EXPECT_EQ(call(container, live, live), XCST_BAD_HANDLE) << name << " with a wrong kind";
  }
}

TEST_F(SessionTest, ClosingOneSessionLeavesTheOthersHandlesWorking) {
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 1), 0);
  struct Open {
    XcHandle session, container, file;
  } open[2];
  for (int device = 0; device < 2; ++device) {
    Open &o = open[device];
    o.session = Connect(device);
    ASSERT_EQ(Login(o.session), 0);
    o.container = Container(o.session, device == 0 ? "A_SIG" : "B_SIG");
    ASSERT_EQ(CreateUserFile(o.session, 2, 4, XC_USER_FILE_CREATE, &o.file), 0);
  }
  for (int closed = 0; closed < 2; ++closed) {
    SCOPED_TRACE("device " + std::to_string(closed) + " closed");
    const Open &gone = open[closed], &kept = open[1 - closed];
    if (closed == 0) Disconnect(gone.session);
    uint8_t flags[4] = {};
    uint32_t flags_len = sizeof(flags);
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(GetContainerParam(kept.container, 2, flags, &flags_len, 0), 0);
    EXPECT_EQ(WriteUserFile(kept.file, data, sizeof(data)), 0);
    EXPECT_EQ(GetContainerParam(gone.container, 2, flags, &flags_len, 0), XCST_BAD_HANDLE);
    EXPECT_EQ(WriteUserFile(gone.file, data, sizeof(data)), XCST_BAD_HANDLE);
    if (closed == 0) {
      // The other way round: device 0 again, then device 1 closes.
      open[0].session = Connect(0);
      ASSERT_EQ(SetCurContainer(open[0].session, 0, &open[0].container), 0);
      ASSERT_EQ(CreateUserFile(open[0].session, 2, 4, XC_USER_FILE_OPEN, &open[0].file), 0);
      Disconnect(open[1].session);
    }
  }
}

TEST_F(SessionTest, RandomBytesFillTheBuffer) {
  XcHandle session = Connect();
  std::vector<uint8_t> a(1000, 0), b(1000, 0);
  ASSERT_EQ(GenRandom(session, a.data(), 999), 0);
  ASSERT_EQ(GenRandom(session, b.data(), 999), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(a[999], 0) << "wrote past the length";
  EXPECT_EQ(GenRandom(session, nullptr, 0), 0);
  EXPECT_EQ(GenRandom(session, nullptr, 1), XCST_BAD_ARGUMENT);
}

TEST_F(SessionTest, FailedCommitChangesNothing) {
  const std::vector<uint8_t> before = ReadFileBytes(StorePath());
  XcHandle session = LoggedInSession();
  const std::vector<uint8_t> logged_in = ReadFileBytes(StorePath());
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  // A directory where the temporary file should go makes the commit fail.
  ASSERT_TRUE(std::filesystem::create_directory(StorePath() + ".tmp"));
  EXPECT_EQ(DisconnectEkey(session), XCST_STORE_IO);
  open_sessions_.clear();
  EXPECT_EQ(ReadFileBytes(StorePath()), logged_in);
  std::filesystem::remove(StorePath() + ".tmp");
  session = Connect();
  EXPECT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &file), XCST_FILE_NOT_FOUND);
  EXPECT_NE(before, logged_in) << "the PIN check is committed at once";
}

TEST_F(SessionTest, StoreAndDirectoryArePrivate) {
  const std::string nested = dir_ + "/a/b";
  setenv(kTokenDirVariable, nested.c_str(), 1);
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 2), 0);
  Connect(2);
  struct stat st {};
  ASSERT_EQ(stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((nested + "/token-2.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((nested + "/token-2.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace obkey::softtoken::testing

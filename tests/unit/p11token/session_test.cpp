// Sessions, handles, devices, the user PIN, formatting and the module lock of
// p11token, over SoftHSMv2.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "p11token_fixture.h"

namespace obkey::p11token::testing {
namespace {

const uint8_t *Pin(const char *text) {
  return reinterpret_cast<const uint8_t *>(text);
}

TEST_F(P11TokenTest, HandlesOfTheWrongKindOrClosedSessionsAreRefused) {
  XcHandle container = NewContainer("HANDLE_SIG");
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session_, 7, 4, XC_USER_FILE_CREATE, &file), 0);
  uint8_t buffer[256] = {};
  uint32_t len = sizeof(buffer);
  XcHandle out = 0;
  using Call = std::function<int32_t(XcHandle)>;
  struct Case {
    const char *what;
    Call call;
    bool takes_session;  // else a container or a file
  } cases[] = {
      {"DisconnectEkey", [&](XcHandle h) { return DisconnectEkey(h); }, true},
      {"VerifyPin", [&](XcHandle h) { return VerifyPin(h, Pin(kUserPin), 8, 2); }, true},
      {"ChangePin", [&](XcHandle h) { return ChangePin(h, Pin(kUserPin), 8, Pin(kUserPin), 8, 2); },
       true},
      {"CreateContainer", [&](XcHandle h) { return CreateContainer(h, "X", &out, 1); }, true},
      {"SetCurContainer", [&](XcHandle h) { return SetCurContainer(h, 0, &out); }, true},
      {"GenRandom", [&](XcHandle h) { return GenRandom(h, buffer, 8); }, true},
      {"GetEkeyParam", [&](XcHandle h) { return GetEkeyParam(h, 8, buffer, &len, 0); }, true},
      {"CreateUserFile", [&](XcHandle h) { return CreateUserFile(h, 7, 4, 9, &out); }, true},
      {"GetContainerParam", [&](XcHandle h) { return GetContainerParam(h, 2, buffer, &len, 0); },
       false},
      {"GenRSAKey", [&](XcHandle h) { return GenRSAKey(h, 2); }, false},
      {"RSAEncrypt", [&](XcHandle h) { return RSAEncrypt(h, buffer, 4, buffer, &len, 2); }, false},
      {"RSADecrypt", [&](XcHandle h) { return RSADecrypt(h, buffer, 4, buffer, &len, 2); }, false},
      {"RSASign", [&](XcHandle h) { return RSASign(h, buffer, 4, buffer, &len, 2); }, false},
      {"ReadRSAPubKey", [&](XcHandle h) { return ReadRSAPubKey(h, buffer, &len, 2); }, false},
      {"WriteRSAKey", [&](XcHandle h) { return WriteRSAKey(h, buffer, 4, 2); }, false},
      {"WriteCert", [&](XcHandle h) { return WriteCert(h, buffer, 4, 2); }, false},
      {"ReadCert", [&](XcHandle h) { return ReadCert(h, buffer, &len, 2); }, false},
      {"ReadUserFile", [&](XcHandle h) { return ReadUserFile(h, buffer, &len); }, false},
      {"WriteUserFile", [&](XcHandle h) { return WriteUserFile(h, buffer, 1); }, false},
      {"DeleteUserFile", [&](XcHandle h) { return DeleteUserFile(h); }, false},
  };
  for (const Case &c : cases) {
    len = sizeof(buffer);
    EXPECT_EQ(c.call(0), P11ST_BAD_HANDLE) << c.what << " with 0";
    EXPECT_EQ(c.call(c.takes_session ? container : session_), P11ST_BAD_HANDLE)
        << c.what << " with a handle of another kind";
    if (!c.takes_session) {
      // A file handle is no container handle, nor the other way round.
      XcHandle wrong = std::string(c.what).find("UserFile") != std::string::npos ? container : file;
      EXPECT_EQ(c.call(wrong), P11ST_BAD_HANDLE) << c.what;
    }
  }
  ASSERT_EQ(DisconnectEkey(session_), 0);
  EXPECT_EQ(GenRandom(session_, buffer, 8), P11ST_BAD_HANDLE);
  EXPECT_EQ(GenRSAKey(container, 2), P11ST_BAD_HANDLE);
  EXPECT_EQ(ReadUserFile(file, buffer, &len), P11ST_BAD_HANDLE);
  session_ = 0;
}

TEST_F(P11TokenTest, ADeviceIsTheNthSlotWithAnInitialisedToken) {
  ASSERT_EQ(DisconnectEkey(session_), 0);
  session_ = 0;
  XcHandle other = 0;
  for (int32_t device : {-1, kTokenCount + 1, 1000}) {
    EXPECT_EQ(ConnectEkey(device, &other), P11ST_NO_TOKEN) << device;
  }
  // SoftHSMv2's free slot has a token present that was never formatted: no
  // token yet, as a missing store is for the software token.
  EXPECT_EQ(ConnectEkey(kTokenCount, &other), P11ST_NO_TOKEN);
  EXPECT_EQ(ConnectEkey(0, nullptr), P11ST_BAD_ARGUMENT);
  // Every initialised token is a device of its own.
  ASSERT_EQ(ConnectEkey(1, &other), 0);
  EXPECT_EQ(VerifyPin(other, Pin(kUserPin), 8, 2), 0);
  EXPECT_EQ(DisconnectEkey(other), 0);
}

TEST_F(P11TokenTest, UserPinChecks) {
  struct Case {
    const char *what;
    const uint8_t *pin;
    uint32_t len;
    uint32_t type;
    int32_t status;
  } cases[] = {
      {"right PIN", Pin(kUserPin), 8, 2, 0},
      {"wrong PIN", Pin("87654321"), 8, 2, P11ST_PIN_INCORRECT},
      {"right PIN, cut short", Pin(kUserPin), 7, 2, P11ST_PIN_INCORRECT},
      {"PIN type 1", Pin(kUserPin), 8, 1, P11ST_BAD_PIN_TYPE},
      {"null PIN", nullptr, 8, 2, P11ST_BAD_ARGUMENT},
      {"empty PIN", Pin(kUserPin), 0, 2, P11ST_PIN_LENGTH},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(VerifyPin(session_, c.pin, c.len, c.type), c.status) << c.what;
  }
}

TEST_F(P11TokenTest, PinChangeNeedsTheCurrentPinAndAnAcceptableNewOne) {
  EXPECT_EQ(ChangePin(session_, Pin("wrong-pin"), 9, Pin("new-pin-1"), 9, 2), P11ST_PIN_INCORRECT);
  // SoftHSMv2 takes PINs of 4 to 255 bytes: its refusal is the interface's.
  EXPECT_EQ(ChangePin(session_, Pin(kUserPin), 8, Pin("ab"), 2, 2), P11ST_PIN_LENGTH);
  EXPECT_EQ(ChangePin(session_, Pin(kUserPin), 8, Pin("x"), 0, 2), P11ST_PIN_LENGTH);
  EXPECT_EQ(ChangePin(session_, Pin(kUserPin), 8, nullptr, 4, 2), P11ST_BAD_ARGUMENT);
  EXPECT_EQ(ChangePin(session_, Pin(kUserPin), 8, Pin("new-pin-1"), 9, 1), P11ST_BAD_PIN_TYPE);
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(ChangePin(session_, Pin(kUserPin), 8, Pin("new-pin-1"), 9, 2), 0);
  // The change ends the login, as on the software token.
  XcHandle container = NewContainer("CHANGE_SIG");
  EXPECT_EQ(GenRSAKey(container, 2), P11ST_NOT_LOGGED_IN);
  EXPECT_EQ(Login(), P11ST_PIN_INCORRECT);
  EXPECT_EQ(Login("new-pin-1"), 0);
}

TEST_F(P11TokenTest, LoginLastsAcrossConnectionsUntilAWrongPinOrAFormat) {
  XcHandle container = NewContainer("LOGIN_SIG");
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  ASSERT_EQ(SetCurContainer(session_, 0, &container), 0);
  EXPECT_EQ(GenRSAKey(container, 2), 0);

  EXPECT_EQ(Login("00000000"), P11ST_PIN_INCORRECT);
  EXPECT_EQ(GenRSAKey(container, 2), P11ST_NOT_LOGGED_IN);

  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  session_ = 0;
  ASSERT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, "", kDevice), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  container = NewContainer("LOGIN_SIG");
  EXPECT_EQ(GenRSAKey(container, 2), P11ST_NOT_LOGGED_IN);
}

TEST_F(P11TokenTest, FormattingChecksTheAdminPinAndErasesEverything) {
  XcHandle container = NewContainer("FORMAT_SIG"), file = 0;
  ASSERT_EQ(CreateUserFile(session_, 1, 8, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  session_ = 0;

  struct Case {
    const char *admin_pin;
    const char *second_text;
    int32_t device;
    int32_t status;
  } refused[] = {
      {"WRONG.1974", "WRONG.1974", kDevice, P11ST_ADMIN_PIN_INCORRECT},
      {nullptr, "x", kDevice, P11ST_BAD_ARGUMENT},
      {obkey_test::kSoftHsmSoPin, nullptr, kDevice, P11ST_BAD_ARGUMENT},
      {obkey_test::kSoftHsmSoPin, "x", -1, P11ST_BAD_ARGUMENT},
      {obkey_test::kSoftHsmSoPin, "x", 1000, P11ST_NO_TOKEN},
  };
  for (const Case &c : refused) {
    EXPECT_EQ(FormatToken(c.admin_pin, c.second_text, c.device), c.status)
        << (c.admin_pin ? c.admin_pin : "(null)") << " " << c.device;
  }
  // A refused format leaves the token as it was.
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(SetCurContainer(session_, 0, &container), 0);
  EXPECT_EQ(CreateUserFile(session_, 1, 0, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_EQ(DisconnectEkey(session_), 0);

  ASSERT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, obkey_test::kSoftHsmSoPin, kDevice), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(SetCurContainer(session_, 0, &container), P11ST_CONTAINER_NOT_FOUND);
  EXPECT_EQ(CreateUserFile(session_, 1, 0, XC_USER_FILE_OPEN, &file), P11ST_FILE_NOT_FOUND);
  // The user PIN is the documented default again.
  EXPECT_EQ(Login(), 0);
}

// The lock is the module's, held for one changing step: another program's
// step makes a change (or a first connection) on any of the module's tokens
// wait, a signature does not, and two connections of one program work side
// by side.
TEST_F(P11TokenTest, AStepWaitsForAnotherProgramsStep) {
  XcHandle container = NewContainer("WAIT_SIG");
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  // Another program's hold: the lock file, opened and locked on its own.
  std::string lock_file =
      obkey_test::ProcessSoftHsmTokens().folder() + "/obkey-p11-" + ModuleLockKey() + ".lock";
  int other_program = open(lock_file.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(other_program, 0);
  ASSERT_EQ(flock(other_program, LOCK_EX), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SignOnce(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  XcHandle second = 0;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectEkey(kDevice + 1, &second), P11ST_TOKEN_BUSY);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  close(other_program);
  ASSERT_EQ(ConnectEkey(kDevice, &second), 0);
  uint8_t random[8];
  EXPECT_EQ(GenRandom(second, random, 8), 0);
  EXPECT_EQ(GenRandom(session_, random, 8), 0);
  EXPECT_EQ(DisconnectEkey(second), 0);
}

// Threads of one program, each on its own connection, all sign, while
// another thread replaces the key: no signature fails.
TEST_F(P11TokenTest, ThreadsSignSideBySide) {
  XcHandle container = NewContainer("THREADS_SIG");
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  for (int thread_count : {2, 4, 8}) {
    std::atomic<int> failures{0}, replaced{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
      threads.emplace_back([&] {
        for (int round = 0; round < 10; ++round) failures += SignOnce() != 0;
      });
    }
    threads.emplace_back([&] {
      for (int round = 0; round < 2; ++round) {
        replaced += Guarded([&] { return GenRSAKey(container, XC_KEY_SIGNATURE); }) == 0;
      }
    });
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0) << thread_count << " threads";
    EXPECT_EQ(replaced.load(), 2) << thread_count << " threads";
  }
}

TEST_F(P11TokenTest, RandomNumbersAndTheTokenParameter) {
  uint8_t a[32] = {}, b[32] = {};
  EXPECT_EQ(GenRandom(session_, a, sizeof(a)), 0);
  EXPECT_EQ(GenRandom(session_, b, sizeof(b)), 0);
  EXPECT_NE(std::memcmp(a, b, sizeof(a)), 0);
  EXPECT_EQ(GenRandom(session_, nullptr, 0), 0);
  EXPECT_EQ(GenRandom(session_, nullptr, 4), P11ST_BAD_ARGUMENT);

  uint8_t param[XC_EKEY_PARAM_SIZE + 8];
  std::memset(param, 0xEE, sizeof(param));
  uint32_t len = XC_EKEY_PARAM_SIZE - 1;
  EXPECT_EQ(GetEkeyParam(session_, 8, param, &len, 0), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
  EXPECT_EQ(param[0], 0xEE);
  EXPECT_EQ(GetEkeyParam(session_, 8, param, nullptr, 0), P11ST_BAD_ARGUMENT);
  EXPECT_EQ(GetEkeyParam(session_, 7, param, &len, 0), P11ST_BAD_PARAM);
  len = sizeof(param);
  ASSERT_EQ(GetEkeyParam(session_, 8, param, &len, 0), 0);
  EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
  EXPECT_EQ(param[0], 0);
  EXPECT_EQ(param[XC_EKEY_PARAM_SIZE], 0xEE);  // nothing past the 200 bytes
}

// Last, because it adds a token: SoftHSMv2 then renumbers its slots, which
// the tests before would not mind (each formats device 0 afresh) but a
// reader of their output might.
TEST_F(P11TokenTest, FormattingTheFreeSlotMakesANewToken) {
  ASSERT_EQ(DisconnectEkey(session_), 0);
  session_ = 0;
  XcHandle other = 0;
  ASSERT_EQ(ConnectEkey(kTokenCount, &other), P11ST_NO_TOKEN);
  ASSERT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, "x", kTokenCount), 0);
  // The new token takes a place among the initialised ones; every device
  // up to kTokenCount is now a token with the default user PIN.
  // A first format names the token after its device.
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info{};
  bool named = false;
  for (int32_t device = 0; device <= kTokenCount; ++device) {
    ASSERT_EQ(FindDeviceSlot(raw_.functions, device, &slot), 0);
    ASSERT_EQ(raw_.functions->C_GetTokenInfo(slot, &info), CKR_OK);
    named |= std::string(reinterpret_cast<char *>(info.label), 32) ==
             "obkey-" + std::to_string(kTokenCount) + std::string(32 - 7, ' ');
  }
  EXPECT_TRUE(named);
  for (int32_t device = 0; device <= kTokenCount; ++device) {
    ASSERT_EQ(ConnectEkey(device, &other), 0) << device;
    EXPECT_EQ(VerifyPin(other, Pin(kUserPin), 8, 2), 0) << device;
    EXPECT_EQ(DisconnectEkey(other), 0);
  }
}

}  // namespace
}  // namespace obkey::p11token::testing

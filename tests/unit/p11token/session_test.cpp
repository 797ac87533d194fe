// Devices and slots, the kept session and the login, and the module lock of
// p11token, over SoftHSMv2. (What sessions, PINs and formats do is the
// behaviour suite's.)
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

TEST_F(P11TokenTest, ADeviceIsTheNthSlotWithAnInitialisedToken) {
  ASSERT_EQ(DisconnectEkey(session_), 0);
  session_ = 0;
  XcHandle other = 0;
  EXPECT_EQ(ConnectEkey(kTokenCount + 1, &other), P11ST_NO_TOKEN);
  EXPECT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, "x", kTokenCount + 1), P11ST_NO_TOKEN);
  // SoftHSMv2's free slot has a token present that was never formatted: no
  // token yet, as a missing store is for the software token.
  EXPECT_EQ(ConnectEkey(kTokenCount, &other), P11ST_NO_TOKEN);
  // Every initialised token is a device of its own.
  ASSERT_EQ(ConnectEkey(1, &other), 0);
  EXPECT_EQ(VerifyPin(other, Pin(kUserPin), 8, 2), 0);
  EXPECT_EQ(DisconnectEkey(other), 0);
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

// A PIN that logged in is known again without ending the login (which
// programs sharing it would lose), but a changed one is not: after a change
// the old PIN must fail even while the module reports a login, here the
// test's own with the new PIN.
TEST_F(P11TokenTest, AnOldPinFailsWhileTheNewOneIsLoggedIn) {
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(ChangePin(session_, Pin(kUserPin), 8, Pin("new-pin-1"), 9, XC_PIN_USER), 0);
  ASSERT_EQ(raw_.functions->C_Login(raw_.session, CKU_USER,
                                    const_cast<CK_UTF8CHAR_PTR>(Pin("new-pin-1")), 9),
            CKR_OK);
  EXPECT_EQ(Login(), P11ST_PIN_INCORRECT);
  EXPECT_EQ(Login("new-pin-1"), 0);
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

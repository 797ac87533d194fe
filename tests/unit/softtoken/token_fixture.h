// token_fixture.h — a formatted software token in a private directory of
// its own, for each test.
#ifndef OBKEY_TESTS_UNIT_SOFTTOKEN_TOKEN_FIXTURE_H
#define OBKEY_TESTS_UNIT_SOFTTOKEN_TOKEN_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "softtoken_api.h"
#include "store_file.h"
#include "temp_folder.h"
#include "token_state.h"

namespace obkey::softtoken::testing {

// WithClearKey is a token holding `der` in the clear at container `slot`,
// key index `index`, for the key table's tests.
inline TokenState WithClearKey(size_t slot, size_t index, const SecretBytes &der) {
  TokenState state;
  state.containers[slot].keys[index].private_key_der = der;
  return state;
}

inline const uint8_t *Bytes(const char *text) {
  return reinterpret_cast<const uint8_t *>(text);
}
inline uint32_t Len(const char *text) {
  return static_cast<uint32_t>(std::strlen(text));
}

inline std::vector<uint8_t> ReadFileBytes(const std::string &path) {
  std::vector<uint8_t> bytes;
  if (FILE *f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
  }
  return bytes;
}

inline void WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = obkey_test::MakeTempFolder("obkey-softtoken");
    ASSERT_FALSE(dir_.empty());
    setenv(kTokenDirVariable, dir_.c_str(), 1);
    setenv(kLockTimeoutVariable, "300", 1);
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  }

  void TearDown() override {
    for (XcHandle session : open_sessions_) DisconnectEkey(session);
    SetStoreSettleMsForTesting(-1);
    ForgetAllParsedStores();
    obkey_test::RemoveTree(dir_);
  }

  std::string StorePath(int device = 0) const {
    return dir_ + "/token-" + std::to_string(device) + ".db";
  }

  // Connect opens a session that TearDown closes if the test does not.
  XcHandle Connect(int device = 0) {
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(device, &session), 0);
    open_sessions_.push_back(session);
    return session;
  }

  void Disconnect(XcHandle session) {
    EXPECT_EQ(DisconnectEkey(session), 0);
    open_sessions_.erase(std::remove(open_sessions_.begin(), open_sessions_.end(), session),
                         open_sessions_.end());
  }

  static int32_t Login(XcHandle session, const char *pin = kInitialUserPin) {
    return VerifyPin(session, Bytes(pin), Len(pin), XC_PIN_USER);
  }

  // LoggedInSession connects and verifies the initial user PIN.
  XcHandle LoggedInSession() {
    XcHandle session = Connect();
    EXPECT_EQ(Login(session), 0);
    return session;
  }

  static XcHandle Container(XcHandle session, const char *name) {
    XcHandle container = 0;
    EXPECT_EQ(CreateContainer(session, name, &container, XC_CONTAINER_CREATE), 0);
    return container;
  }

  std::string dir_;
  std::vector<XcHandle> open_sessions_;
};

}  // namespace obkey::softtoken::testing

#endif  // OBKEY_TESTS_UNIT_SOFTTOKEN_TOKEN_FIXTURE_H

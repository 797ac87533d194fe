// What the token refuses to do with its files and its keys: a replace that
// cannot fit, a directory others may write to, a store holding a key that
// does not hold together; and what a failed call leaves of a session.
#include <sys/stat.h>

#include "pin.h"
#include "rsa_test_keys.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using StoreSafetyTest = TokenTest;

TEST_F(StoreSafetyTest, OpeningAFileAtASizeNoFileCanHaveFailsBeforeAnythingIsDeleted) {
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 7, 3, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(WriteUserFile(file, Bytes("old"), 3), 0);
  struct Case {
    uint32_t size;
    int32_t expected;
  };
  const Case cases[] = {
      {0, 0},
      {3, 0},
      {kUserFileCapacity, 0},
      {kUserFileCapacity + 1, XCST_FILE_SPACE_FULL},
      {70000, XCST_FILE_SPACE_FULL},
      {0xFFFFFFFFu, XCST_FILE_SPACE_FULL},
  };
  for (const Case &c : cases) {
    XcHandle opened = 0;
    EXPECT_EQ(CreateUserFile(session, 7, c.size, XC_USER_FILE_OPEN, &opened), c.expected) << c.size;
  }
  Disconnect(session);
  // The replace stopped at its open: the old data is all there.
  session = Connect();
  ASSERT_EQ(CreateUserFile(session, 7, 0, XC_USER_FILE_OPEN, &file), 0);
  uint8_t out[8] = {};
  uint32_t len = sizeof(out);
  ASSERT_EQ(ReadUserFile(file, out, &len), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), len), "old");
}

TEST_F(StoreSafetyTest, FailedCallInASessionKeepsItsEarlierChanges) {
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(WriteUserFile(file, Bytes("kept"), 4), 0);
  EXPECT_EQ(CreateUserFile(session, 2, kUserFileCapacity, XC_USER_FILE_CREATE, &file),
            XCST_FILE_SPACE_FULL);
  EXPECT_EQ(Login(session, "00000000"), XCST_PIN_INCORRECT);
  // Nothing is in the store before the disconnect, all of it after.
  TokenState stored;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
  EXPECT_TRUE(stored.user_files.empty());
  Disconnect(session);
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
  EXPECT_EQ(stored.user_files[1], std::vector<uint8_t>({'k', 'e', 'p', 't'}));
  EXPECT_EQ(stored.user_pin.tries_left, kUserPinTries - 1);
}

TEST_F(StoreSafetyTest, DirectoryOthersMayWriteToIsRefused) {
  struct Case {
    mode_t mode;
    bool refused;
  };
  const Case cases[] = {
      {0700, false}, {0750, false}, {0755, false}, {0720, true},
      {0702, true},  {0777, true},  {01777, true},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(chmod(dir_.c_str(), c.mode), 0);
    XcHandle session = 0;
    int32_t connect = ConnectEkey(0, &session);
    if (connect == 0) DisconnectEkey(session);
    EXPECT_EQ(connect, c.refused ? XCST_TOKEN_DIR_SHARED : 0) << std::oct << c.mode;
    EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0),
              c.refused ? XCST_TOKEN_DIR_SHARED : 0)
        << std::oct << c.mode;
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
}

// A store whose key was changed and its checksum recomputed parses, but the
// key no longer holds together: the store is refused rather than used to
// make signatures that do not verify (or that give away the primes).
TEST_F(StoreSafetyTest, StoreWithAnInconsistentKeyIsRefused) {
  Pkey key = NewRsaKey(1024);
  const std::vector<uint8_t> der = StrictDer(key.get());
  const std::vector<uint8_t> p = Part(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, 64);
  const std::vector<uint8_t> dq = Part(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, 64);
  const std::vector<uint8_t> d = Part(key.get(), OSSL_PKEY_PARAM_RSA_D, 128);
  auto offset_of = [&](const std::vector<uint8_t> &part) {
    auto at = std::search(der.begin(), der.end(), part.begin() + 1, part.end());
    return static_cast<size_t>(at - der.begin()) + 20;
  };
  struct Case {
    const char *what;
    size_t offset;  // 0: the key as it is
    int32_t expected;
  };
  const Case cases[] = {
      {"sound key", 0, 0},
      {"n", 20, XCST_STORE_BAD_KEY},
      {"d", offset_of(d), XCST_STORE_BAD_KEY},
      {"p", offset_of(p), XCST_STORE_BAD_KEY},
      {"dQ", offset_of(dq), XCST_STORE_BAD_KEY},
      {"qInv", der.size() - 1, XCST_STORE_BAD_KEY},
  };
  TokenState base;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &base), 0);
  // Clear keys, as a store from before sealing holds them (with its PIN
  // under PBKDF2).
  base.token_key_wrap = TokenKeyWrap{};
  base.user_pin.hash = HashPinPbkdf2(Bytes(kInitialUserPin), Len(kInitialUserPin));
  for (const Case &c : cases) {
    TokenState state = base;
    state.containers[0].present = true;
    state.containers[0].name = "SIG";
    state.containers[0].keys[1].private_key_der = Secret(der);
    if (c.offset != 0) state.containers[0].keys[1].private_key_der[c.offset] ^= 0x10;
    WriteFileBytes(StorePath(), Plain(SerializeStore(state, 100)));
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), c.expected) << c.what;
    if (c.expected == 0) DisconnectEkey(session);
  }
}

}  // namespace
}  // namespace obkey::softtoken::testing

// Commits that reach the disk in order, and commits that cannot be written:
// the caller hears of every lost change and the token stays as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_faults.h"
#include "pin.h"
#include "rsa_test_keys.h"
#include "softtoken_status.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using obkey_test::FailRenamesFrom;

class CommitTest : public TokenTest {
 protected:
  void TearDown() override {
    FailRenamesFrom(0);
    obkey_test::FailFolderFlushes(false);
    TokenTest::TearDown();
  }
};

TEST_F(CommitTest, TheNewStoreIsFlushedBeforeItsRenameAndTheFolderAfter) {
  XcHandle session = Connect();
  Container(session, "SIG");
  obkey_test::StartFileTrace();
  Disconnect(session);
  const std::string folder = dir_.substr(dir_.rfind('/') + 1);
  EXPECT_EQ(obkey_test::FileTrace(),
            (std::vector<std::string>{"fsync token-0.db.tmp", "rename token-0.db.tmp token-0.db",
                                      "fsync " + folder}));
}

// Each change of a session, with the commit at its disconnect refused.
TEST_F(CommitTest, AChangeThatCannotBeCommittedIsReportedAndNotKept) {
  struct Case {
    const char *what;
    int32_t (*change)(XcHandle session);
  };
  const Case cases[] = {
      {"container",
       [](XcHandle s) {
         XcHandle c = 0;
         return CreateContainer(s, "NEW_SIG", &c, XC_CONTAINER_CREATE);
       }},
      {"key pair",
       [](XcHandle s) {
         XcHandle c = 0;
         CreateContainer(s, "NEW_SIG", &c, XC_CONTAINER_CREATE);
         return GenRSAKey(c, XC_KEY_SIGNATURE);
       }},
      {"user file",
       [](XcHandle s) {
         XcHandle f = 0;
         return CreateUserFile(s, 9, 10, XC_USER_FILE_CREATE, &f);
       }},
      {"PIN change",
       [](XcHandle s) {
         return ChangePin(s, Bytes(kInitialUserPin), Len(kInitialUserPin), Bytes("new pin!"), 8,
                          XC_PIN_USER);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    XcHandle session = Connect();
    ASSERT_EQ(Login(session), 0);
    ASSERT_EQ(c.change(session), 0);
    // A PIN check commits its try at once; the change itself waits.
    const std::vector<uint8_t> before = ReadFileBytes(StorePath());
    FailRenamesFrom(1);
    EXPECT_EQ(DisconnectEkey(session), XCST_STORE_IO);
    open_sessions_.clear();
    FailRenamesFrom(0);
    EXPECT_EQ(ReadFileBytes(StorePath()), before) << "the store changed";
  }
  // The PIN change was lost as a whole: the old PIN still opens the token.
  XcHandle session = Connect();
  EXPECT_EQ(Login(session, "new pin!"), XCST_PIN_INCORRECT);
  EXPECT_EQ(Login(session), 0);
}

// The folder flush after the rename is what makes a commit last through a
// power cut: when it fails, the commit is not reported as done.
TEST_F(CommitTest, ACommitWhoseFolderFlushFailsIsAFailure) {
  XcHandle session = LoggedInSession();
  Container(session, "SIG");
  obkey_test::FailFolderFlushes(true);
  EXPECT_EQ(DisconnectEkey(session), XCST_STORE_IO) << "a session's commit";
  open_sessions_.clear();
  session = Connect();
  EXPECT_EQ(Login(session), XCST_STORE_IO) << "a PIN check's paid try";
  Disconnect(session);
  EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), XCST_STORE_IO) << "a format";
  setenv(kTokenDirVariable, (dir_ + "/new/tokens").c_str(), 1);
  EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), XCST_STORE_IO)
      << "a format that makes the folder";
  setenv(kTokenDirVariable, dir_.c_str(), 1);
}

// A PIN change pays its try (two commits) before its own change commits at
// the disconnect; the last commit failing must not leave the new PIN half
// in place, nor the login it ended.
TEST_F(CommitTest, APinChangeWhoseLastCommitFailsKeepsTheOldPinAndEndsTheLogin) {
  XcHandle session = LoggedInSession();
  XcHandle container = Container(session, "SIG");
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  Disconnect(session);
  session = Connect();
  FailRenamesFrom(3);
  ASSERT_EQ(ChangePin(session, Bytes(kInitialUserPin), Len(kInitialUserPin), Bytes("new pin!"), 8,
                      XC_PIN_USER),
            0);
  EXPECT_EQ(DisconnectEkey(session), XCST_STORE_IO);
  open_sessions_.clear();
  FailRenamesFrom(0);
  session = Connect();
  ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0);
  uint8_t block[20] = {1};
  uint8_t signature[128];
  uint32_t len = sizeof(signature);
  EXPECT_EQ(RSASign(container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE),
            XCST_NOT_LOGGED_IN);
  EXPECT_EQ(Login(session, "new pin!"), XCST_PIN_INCORRECT);
  EXPECT_EQ(Login(session), 0);
  EXPECT_EQ(RSASign(container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE), 0);
}

// A login that moves a version 2 store (keys in the clear) makes its token
// key; when that change is lost, the login must not outlive it, or the next
// key would be sealed under a token key the store does not hold.
TEST_F(CommitTest, ALoginWhoseMoveIsLostIsNotRemembered) {
  Pkey key = NewRsaKey(1024);
  TokenState old;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &old), 0);
  old.user_pin.hash = HashPinPbkdf2(Bytes(kInitialUserPin), Len(kInitialUserPin));
  old.token_key_wrap = TokenKeyWrap{};
  old.containers[XC_SLOT_EXCHANGE].present = true;
  old.containers[XC_SLOT_EXCHANGE].name = "ENC";
  old.containers[XC_SLOT_EXCHANGE].keys[0].private_key_der = Secret(StrictDer(key.get()));
  WriteFileBytes(StorePath(), Plain(SerializeStore(old, 3, kStoreFormatVersion2)));

  XcHandle session = LoggedInSession();
  FailRenamesFrom(1);
  EXPECT_EQ(DisconnectEkey(session), XCST_STORE_IO);
  open_sessions_.clear();
  FailRenamesFrom(0);
  session = Connect();
  XcHandle container = Container(session, "SIG");
  EXPECT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), XCST_NOT_LOGGED_IN);
  ASSERT_EQ(Login(session), 0);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  Disconnect(session);
  // Both keys open under the token key the store holds.
  ForgetAllParsedStores();
  session = LoggedInSession();
  uint8_t block[XC_RSA_BLOCK] = {0, 1};
  uint8_t out[XC_RSA_BLOCK];
  for (uint32_t slot : {XC_SLOT_SIGNATURE, XC_SLOT_EXCHANGE}) {
    const uint32_t key_type = slot == XC_SLOT_SIGNATURE ? XC_KEY_SIGNATURE : XC_KEY_EXCHANGE;
    uint32_t len = sizeof(out);
    ASSERT_EQ(SetCurContainer(session, slot, &container), 0);
    EXPECT_EQ(RSASign(container, block, sizeof(block), out, &len, key_type), 0) << slot;
  }
}

}  // namespace
}  // namespace obkey::softtoken::testing

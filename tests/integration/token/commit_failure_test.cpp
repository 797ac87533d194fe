// obkey over the software token when the token cannot write its store (a
// full disk, a quota, an I/O error): every change that is lost is a nonzero
// status, and the token stays as it was and keeps signing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "file_faults.h"
#include "obkey.h"
#include "softtoken_status.h"
#include "token_backend.h"
#include "token_public_key.h"
#include "token_test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using obkey_test::TokenTestEnv;

constexpr int32_t kDevice = 3;
constexpr char kPin[] = "12345678";

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

DataBlob Blob(Bytes *bytes) {
  return DataBlob{static_cast<uint32_t>(bytes->size()), bytes->data()};
}

class CommitFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::PrepareTestTokens(env_.folder()));
    ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
    ASSERT_EQ(OBCA_Login(1, kPin), 0);
    uint8_t name1[64] = {}, name2[64] = {};
    DataBlob record1{0, name1}, record2{0, name2};
    ASSERT_EQ(OB_GenAsymmetricKey("KEEP_SIG", &record1, &record2, 0, 0, OB_KEY_TYPE_SIGNATURE), 0);
    Bytes kept(300, 'k');
    ASSERT_EQ(OBCA_ImportFile("KEPT", 0, kept.data(), static_cast<uint32_t>(kept.size())), 0);
  }
  void TearDown() override { obkey_test::FailRenamesFrom(0); }

  std::string StorePath() const {
    return env_.folder() + "/tokens/token-" + std::to_string(kDevice) + ".db";
  }

  TokenTestEnv env_{"XCSP_KEY_" + std::to_string(kDevice)};
};

TEST_F(CommitFailureTest, EveryLostChangeIsAFailureAndTheTokenStaysAsItWas) {
  struct Case {
    const char *what;
    int fail_from;  // the first rename that fails: a PIN check commits twice first
    int32_t (*call)();
  };
  const Case cases[] = {
      {"OB_CreateContainer", 1, [] { return OB_CreateContainer("NEW_ENC"); }},
      {"OB_GenAsymmetricKey", 1,
       [] {
         uint8_t name1[64] = {}, name2[64] = {};
         DataBlob record1{0, name1}, record2{0, name2};
         return OB_GenAsymmetricKey("KEEP_SIG", &record1, &record2, 0, 0, OB_KEY_TYPE_SIGNATURE);
       }},
      {"OBCERT_ImportCert", 1,
       [] {
         Bytes cert(500, 0x30);
         DataBlob record = Blob(&cert);
         return OBCERT_ImportCert(0, &record, 0, 0, 0, OB_KEY_TYPE_SIGNATURE);
       }},
      {"OBCA_ImportFile", 1,
       [] {
         Bytes data(100, 'n');
         return OBCA_ImportFile("NEW", 0, data.data(), static_cast<uint32_t>(data.size()));
       }},
      {"OBCA_ImportFile over a label", 1,
       [] {
         Bytes data(120, 'r');
         return OBCA_ImportFile("KEPT", 0, data.data(), static_cast<uint32_t>(data.size()));
       }},
      {"OBCA_DeleteFile", 1, [] { return OBCA_DeleteFile("KEPT", 0); }},
      {"OBCA_Format", 1, [] { return OBCA_Format(kDevice, 0); }},
      {"PIN change, its last commit", 3,
       [] {
         Bytes old_pin(kPin, kPin + 8), new_pin = {'n', 'e', 'w', '-', 'p', 'i', 'n'};
         DataBlob old_record = Blob(&old_pin), new_record = Blob(&new_pin);
         return OB_SetPVKEnabelData(0, &old_record, &new_record, 0);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(OBCA_Login(1, kPin), 0);
    const Bytes before = ReadFile(StorePath());
    obkey_test::FailRenamesFrom(c.fail_from);
    EXPECT_NE(c.call(), 0) << "reported as done";
    EXPECT_GE(obkey_test::RenamesSeen(), c.fail_from) << "no commit was tried";
    obkey_test::FailRenamesFrom(0);
    if (c.fail_from == 1) {
      EXPECT_EQ(ReadFile(StorePath()), before) << "the store changed";
    }
    EXPECT_EQ(OBCA_Login(1, kPin), 0) << "the old PIN no longer opens the token";
    EXPECT_EQ(obkey_test::SignSha1OnToken({'s', 'i', 'g', 'n'}).size(), OB_RSA_BLOCK_LEN);
    uint32_t len = 300;
    Bytes kept(len);
    EXPECT_EQ(OBCA_ExportFile("KEPT", 0, kept.data(), &len), 0);
    EXPECT_EQ(kept, Bytes(300, 'k'));
  }
}

// Replacing a labelled file with one that does not fit is refused before
// anything is lost: the old file stays whole (the token puts back a file
// deleted in the same session when its re-creation finds no room).
TEST_F(CommitFailureTest, AReplacementWithoutRoomKeepsTheOldFile) {
  Bytes first(20000, 'a'), other(30000, 'b'), larger(40000, 'c');
  ASSERT_EQ(OBCA_ImportFile("FIRST", 0, first.data(), static_cast<uint32_t>(first.size())), 0);
  ASSERT_EQ(OBCA_ImportFile("OTHER", 0, other.data(), static_cast<uint32_t>(other.size())), 0);
  EXPECT_EQ(OBCA_ImportFile("FIRST", 0, larger.data(), static_cast<uint32_t>(larger.size())),
            XCST_FILE_SPACE_FULL);
  Bytes read(larger.size());
  uint32_t len = static_cast<uint32_t>(read.size());
  ASSERT_EQ(OBCA_ExportFile("FIRST", 0, read.data(), &len), 0);
  read.resize(len);
  EXPECT_EQ(read, first);
}

}  // namespace

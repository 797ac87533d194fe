// The label directory and the labelled files, against the recording fake.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "hex.h"
#include "label_directory.h"
#include "obkey.h"
#include "softtoken_status.h"

namespace {

using Calls = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using obkey::test::Hex;

constexpr int32_t kExists = 0x6A89;  // what a token says to mode 5 on an existing file
constexpr int32_t kTokenError = 0x6581;

struct Rec {
  uint8_t state;
  std::string label;
};

// A directory image: `records` from record 0 on, the rest zero.
Bytes Directory(const std::vector<Rec> &records) {
  Bytes image(200, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    image[20 * i] = records[i].state;
    std::memcpy(&image[20 * i + 1], records[i].label.data(), records[i].label.size());
  }
  return image;
}

std::string WriteDir(const Bytes &image) {
  return "XC_WriteUserFile(51, " + Hex(image) + ", 200)";
}

// The token already holds `image` in user file 1.
void GivenDirectory(const Bytes &image) {
  fake::QueueStatus("XC_CreateUserFile", kExists);
  fake::QueueOutput("XC_ReadUserFile", image);
}

const Calls kOpenExistingDir = {"XC_ConnectEkey(7)", "XC_CreateUserFile(17, 1, 200, 5)",
                                "XC_CreateUserFile(17, 1, 200, 9)", "XC_ReadUserFile(51, 200)"};

Calls Then(Calls calls, const Calls &more) {
  calls.insert(calls.end(), more.begin(), more.end());
  return calls;
}

class LabelStoreTest : public obkey_test::FakeTokenTest {
 protected:
  const uint8_t data_[3] = {0xd1, 0xd2, 0xd3};
};

TEST(LabelDirectoryTest, FindsOnlyRecordsInUseWithTheWholeLabel) {
  obkey::LabelDirectory dir;
  const Bytes image = Directory({{0x00, "abc"},
                                 {0x55, "ab"},
                                 {0x55, "ABC"},
                                 {0x55, "abc"},
                                 {0x55, std::string(19, 'x')},
                                 {0x55, "abc"},
                                 {0xAA, ""}});
  std::memcpy(dir.bytes(), image.data(), image.size());
  EXPECT_EQ(dir.Find("abc"), 3u);
  EXPECT_EQ(dir.Find("ab"), 1u);
  EXPECT_EQ(dir.Find("a"), std::nullopt);
  EXPECT_EQ(dir.Find(std::string(18, 'x').c_str()), std::nullopt);
  EXPECT_EQ(dir.FirstFree(), 0u);
  dir.Set(0, "z");
  EXPECT_EQ(dir.FirstFree(), 6u);
  dir.Clear(3);
  EXPECT_EQ(dir.Find("abc"), 5u);
  int filled = 0;
  for (auto free = dir.FirstFree(); free && filled < 10; free = dir.FirstFree(), ++filled) {
    dir.Set(*free, "full");
  }
  EXPECT_EQ(filled, 5);  // records 3, 6, 7, 8, 9
}

TEST_F(LabelStoreTest, ImportOnNewTokenZeroesTheDirectoryAndWritesDataBeforeTheRecord) {
  EXPECT_EQ(OBCA_ImportFile("abc", 0, data_, 3), 0);
  EXPECT_EQ(fake::Calls(),
            Calls({"XC_ConnectEkey(7)", "XC_CreateUserFile(17, 1, 200, 5)", WriteDir(Bytes(200, 0)),
                   "XC_ReadUserFile(51, 200)", "XC_CreateUserFile(17, 2, 3, 5)",
                   "XC_WriteUserFile(51, d1d2d3, 3)", WriteDir(Directory({{0x55, "abc"}})),
                   "XC_DisconnectEkey(17)"}));
}

TEST_F(LabelStoreTest, ImportTakesTheMatchingRecordElseTheLowestFreeOne) {
  struct Case {
    std::vector<Rec> before;
    const char *label;
    Calls data_file;
    std::vector<Rec> after;
  };
  const Case cases[] = {
      {{{0x00, "an-old-long-label"}, {0x55, "b"}},
       "c",
       {"XC_CreateUserFile(17, 2, 3, 5)"},
       {{0x55, "c"}, {0x55, "b"}}},
      {{{0x55, "a"}, {0x00, "c"}, {0x55, "c"}},
       "c",
       {"XC_CreateUserFile(17, 4, 3, 5)", "XC_CreateUserFile(17, 4, 3, 9)", "XC_DeleteUserFile(51)",
        "XC_CreateUserFile(17, 4, 3, 5)"},
       {{0x55, "a"}, {0x00, "c"}, {0x55, "c"}}},
  };
  for (const Case &c : cases) {
    fake::Reset();
    GivenDirectory(Directory(c.before));
    fake::QueueStatus("XC_CreateUserFile", 0);
    // The replaced file exists: mode 5 refuses it.
    if (c.data_file.size() > 1) fake::QueueStatus("XC_CreateUserFile", kExists);
    EXPECT_EQ(OBCA_ImportFile(c.label, 0, data_, 3), 0);
    EXPECT_EQ(fake::Calls(), Then(Then(kOpenExistingDir, c.data_file),
                                  {"XC_WriteUserFile(51, d1d2d3, 3)", WriteDir(Directory(c.after)),
                                   "XC_DisconnectEkey(17)"}));
  }
}

TEST_F(LabelStoreTest, ImportStopsAtTheFirstFailureAndAFullDirectoryTakesNothing) {
  std::vector<Rec> full(10, {0x55, "x"});
  GivenDirectory(Directory(full));
  EXPECT_EQ(OBCA_ImportFile("new", 0, data_, 3), OB_E_ARGUMENT);
  EXPECT_EQ(fake::Calls(), Then(kOpenExistingDir, {"XC_DisconnectEkey(17)"}));

  fake::Reset();
  GivenDirectory(Directory({}));
  fake::QueueStatus("XC_WriteUserFile", kTokenError);
  EXPECT_EQ(OBCA_ImportFile("new", 0, data_, 3), kTokenError);
  EXPECT_EQ(fake::Calls(),
            Then(kOpenExistingDir, {"XC_CreateUserFile(17, 2, 3, 5)",
                                    "XC_WriteUserFile(51, d1d2d3, 3)", "XC_DisconnectEkey(17)"}));

  fake::Reset();
  for (int i = 0; i < 2; ++i) fake::QueueStatus("XC_CreateUserFile", kTokenError + i);
  EXPECT_EQ(OBCA_ImportFile("new", 0, data_, 3), kTokenError + 1);
  EXPECT_EQ(fake::Calls().size(), 4u);
}

// When the open that follows a refused create finds no file, the file did
// not exist and the create's own refusal is the cause: a full file space is
// not reported as a missing file.
TEST_F(LabelStoreTest, ACreateRefusedForAFileThatIsNotThereKeepsItsOwnStatus) {
  struct Case {
    const char *what;
    bool directory_exists;
    int32_t create, open, expected;
  };
  const Case cases[] = {
      {"data file, space full", true, XCST_FILE_SPACE_FULL, XCST_FILE_NOT_FOUND,
       XCST_FILE_SPACE_FULL},
      {"directory, space full", false, XCST_FILE_SPACE_FULL, XCST_FILE_NOT_FOUND,
       XCST_FILE_SPACE_FULL},
      {"data file, the open's own failure", true, kExists, kTokenError, kTokenError},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    if (c.directory_exists) {
      GivenDirectory(Directory({}));
      fake::QueueStatus("XC_CreateUserFile", 0);
    }
    fake::QueueStatus("XC_CreateUserFile", c.create);
    fake::QueueStatus("XC_CreateUserFile", c.open);
    EXPECT_EQ(OBCA_ImportFile("new", 0, data_, 3), c.expected);
  }
}

TEST_F(LabelStoreTest, ReservedLabelsReachTheCertificates) {
  EXPECT_EQ(OBCA_ImportFile("LAB_USERCERT_SIG", 1, data_, 3), 0);
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_SetCurContainer(17, 0)",
                                  "XC_WriteCert(33, d1d2d3, 3, 2)", "XC_DisconnectEkey(17)"}));
  struct Case {
    const char *label;
    std::vector<int32_t> read_statuses;
    int32_t status;
    Calls reads;
  };
  const Case cases[] = {
      {"LAB_USERCERT_ENC", {0}, 0, {"XC_SetCurContainer(17, 1)", "XC_ReadCert(33, 32, 1)"}},
      {"LAB_USERCERT_ENC",
       {kTokenError},
       0,
       {"XC_SetCurContainer(17, 1)", "XC_ReadCert(33, 32, 1)", "XC_ReadCert(33, 32, 2)"}},
      {"LAB_USERCERT_SIG",
       {kTokenError, kTokenError + 1},
       kTokenError + 1,
       {"XC_SetCurContainer(17, 0)", "XC_ReadCert(33, 32, 2)", "XC_ReadCert(33, 32, 1)"}},
  };
  for (const Case &c : cases) {
    fake::Reset();
    for (int32_t s : c.read_statuses) fake::QueueStatus("XC_ReadCert", s);
    fake::QueueOutput("XC_ReadCert", {0xce, 0x27});
    Bytes out(32, 0xEE);
    uint32_t len = 32;
    EXPECT_EQ(OBCA_ExportFile(c.label, 1, out.data(), &len), c.status);
    EXPECT_EQ(fake::Calls(), Then(Then({"XC_ConnectEkey(7)"}, c.reads), {"XC_DisconnectEkey(17)"}));
    if (c.status == 0) {
      EXPECT_EQ(Bytes(out.begin(), out.begin() + len), Bytes({0xce, 0x27}));
    }
  }
}

TEST_F(LabelStoreTest, StoreSelectorZeroAnswersReservedLabelsFromTheirLabelledFile) {
  fake::QueueOutput("XC_ReadCert", {0xce, 0x27});
  GivenDirectory(Directory({{0x55, "LAB_USERCERT_ENC"}}));
  fake::QueueOutput("XC_ReadUserFile", {0xf1, 0xf2, 0xf3});
  Bytes out(32, 0xEE);
  uint32_t len = 32;
  EXPECT_EQ(OBCA_ExportFile("LAB_USERCERT_ENC", 0, out.data(), &len), 0);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), Bytes({0xf1, 0xf2, 0xf3}));
  Calls calls = fake::Calls();
  EXPECT_EQ(Calls(calls.end() - 3, calls.end()),
            Calls({"XC_CreateUserFile(17, 2, 32, 9)", "XC_ReadUserFile(51, 32)",
                   "XC_DisconnectEkey(17)"}));

  fake::Reset();
  GivenDirectory(Directory({}));
  EXPECT_EQ(OBCA_ImportFile("LAB_USERCERT_ENC", 0, data_, 3), 0);
  EXPECT_EQ(fake::Calls()[2], "XC_WriteCert(33, d1d2d3, 3, 1)");
  EXPECT_EQ(fake::Calls().end()[-2], WriteDir(Directory({{0x55, "LAB_USERCERT_ENC"}})));
}

TEST_F(LabelStoreTest, ExportReadsTheLabelsFileAndAnAbsentLabelIsMinusOne) {
  const Bytes image = Directory({{0x00, "gone"}, {0x55, "kept"}, {0x55, "gone"}});
  GivenDirectory(image);
  fake::QueueOutput("XC_ReadUserFile", {1, 2, 3, 4, 5});
  Bytes out(64, 0);
  uint32_t len = 64;
  EXPECT_EQ(OBCA_ExportFile("gone", 0, out.data(), &len), 0);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(fake::Calls(),
            Then(kOpenExistingDir, {"XC_CreateUserFile(17, 4, 64, 9)", "XC_ReadUserFile(51, 64)",
                                    "XC_DisconnectEkey(17)"}));
  fake::Reset();
  GivenDirectory(image);
  EXPECT_EQ(OBCA_ExportFile("Kept", 0, out.data(), &len), OB_E_ARGUMENT);
  EXPECT_EQ(fake::Calls(), Then(kOpenExistingDir, {"XC_DisconnectEkey(17)"}));
}

TEST_F(LabelStoreTest, DeleteFreesTheRecordThenRemovesTheFileAndAbsentLabelsSucceed) {
  GivenDirectory(Directory({{0x55, "a"}, {0x55, "b"}}));
  EXPECT_EQ(OBCA_DeleteFile("b", 0), 0);
  EXPECT_EQ(fake::Calls(),
            Then(kOpenExistingDir,
                 {WriteDir(Directory({{0x55, "a"}, {0x00, "b"}})), "XC_CreateUserFile(17, 3, 0, 9)",
                  "XC_DeleteUserFile(51)", "XC_DisconnectEkey(17)"}));
  fake::Reset();
  GivenDirectory(Directory({{0x00, "b"}}));
  EXPECT_EQ(OBCA_DeleteFile("b", 0), 0);
  EXPECT_EQ(fake::Calls(), Then(kOpenExistingDir, {"XC_DisconnectEkey(17)"}));
}

TEST_F(LabelStoreTest, LabelListPacksRecordsInUseOrOnlyCounts) {
  const Bytes image = Directory({{0x00, "free"}, {0x55, "one"}, {0x00, ""}, {0x55, "two"}});
  GivenDirectory(image);
  uint32_t count = 99;
  EXPECT_EQ(OBCA_ReadLabelList(0, nullptr, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(fake::Calls(), Then(kOpenExistingDir, {"XC_DisconnectEkey(17)"}));

  GivenDirectory(image);
  Bytes list(200, 0xEE);
  EXPECT_EQ(OBCA_ReadLabelList(0, list.data(), &count), 0);
  Bytes expected(image.begin() + 21, image.begin() + 40);  // "one" field
  expected.push_back(0xEE);
  expected.insert(expected.end(), image.begin() + 61, image.begin() + 80);
  expected.push_back(0xEE);
  expected.resize(200, 0xEE);
  EXPECT_EQ(list, expected);
}

TEST_F(LabelStoreTest, OtherStoreSelectorsTouchNeitherDirectoryNorCallerData) {
  Bytes out(8, 0xEE);
  uint32_t len = 8, count = 99;
  EXPECT_EQ(OBCA_ImportFile("abc", 1, data_, 3), 0);
  EXPECT_EQ(OBCA_ExportFile("abc", 2, out.data(), &len), 0);
  EXPECT_EQ(OBCA_DeleteFile("abc", 1), 0);
  EXPECT_EQ(OBCA_ReadLabelList(1, out.data(), &count), 0);
  EXPECT_EQ(out, Bytes(8, 0xEE));
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(count, 99u);
  Calls session_only;
  for (int i = 0; i < 4; ++i)
    session_only = Then(session_only, {"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"});
  EXPECT_EQ(fake::Calls(), session_only);
}

TEST_F(LabelStoreTest, UnusableArgumentsAreRefusedBeforeAnySession) {
  const std::string longest(18, 'L'), too_long(19, 'L');
  Bytes out(8);
  uint32_t len = 8;
  EXPECT_EQ(OBCA_ImportFile(too_long.c_str(), 0, data_, 3), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ExportFile(too_long.c_str(), 0, out.data(), &len), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_DeleteFile(too_long.c_str(), 0), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ImportFile(nullptr, 0, data_, 3), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ImportFile("a", 0, nullptr, 3), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ExportFile(nullptr, 0, out.data(), &len), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ExportFile("a", 0, nullptr, &len), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ExportFile("a", 0, out.data(), nullptr), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_DeleteFile(nullptr, 0), OB_E_ARGUMENT);
  EXPECT_EQ(OBCA_ReadLabelList(0, out.data(), nullptr), OB_E_ARGUMENT);
  EXPECT_TRUE(fake::Calls().empty());

  EXPECT_EQ(OBCA_ImportFile(longest.c_str(), 1, data_, 3), 0);
  EXPECT_EQ(fake::Calls().size(), 2u);
  env_.RemoveRegistry();
  fake::Reset();
  EXPECT_EQ(OBCA_DeleteFile("a", 0), OB_E_NO_SESSION);
  EXPECT_EQ(OBCA_ReadLabelList(0, nullptr, &len), OB_E_NO_SESSION);
  EXPECT_EQ(fake::Calls(), Calls({"XC_DisconnectEkey(0)", "XC_DisconnectEkey(0)"}));
}

}  // namespace

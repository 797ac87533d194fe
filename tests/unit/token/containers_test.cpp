// Containers, key-pair generation, key names and random numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "obkey.h"

namespace {

using Calls = std::vector<std::string>;

using ContainersTest = obkey_test::FakeTokenTest;

std::string Text(const uint8_t *bytes) {
  return reinterpret_cast<const char *>(bytes);
}

TEST_F(ContainersTest, CreateContainerChecksTheNameBeforeTheToken) {
  const std::string longest = "SIG" + std::string(44, 'x');
  const std::string too_long = longest + "y";
  struct Case {
    const char *name;
    int32_t expected;
  };
  const Case cases[] = {
      {longest.c_str(), 0}, {too_long.c_str(), -1}, {"my_sig", -1}, {"my_enc", -1}, {"", -1},
      {nullptr, -1},        {"USER_ENC", 0},        {"SIGENC", 0},
  };
  for (const Case &c : cases) {
    fake::Reset();
    EXPECT_EQ(OB_CreateContainer(c.name), c.expected) << (c.name ? c.name : "null");
    if (c.expected == -1) {
      EXPECT_TRUE(fake::Calls().empty());
    } else {
      EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)",
                                      "XC_CreateContainer(17, \"" + std::string(c.name) + "\", 2)",
                                      "XC_DisconnectEkey(17)"}));
    }
  }
}

TEST_F(ContainersTest, CreateContainerOpensWhenCreationFails) {
  fake::QueueStatus("XC_CreateContainer", 0x20001);
  fake::QueueStatus("XC_CreateContainer", 0x20002);
  EXPECT_EQ(OB_CreateContainer("A_SIG"), 0x20002);
  EXPECT_EQ(fake::Calls(),
            Calls({"XC_ConnectEkey(7)", "XC_CreateContainer(17, \"A_SIG\", 2)",
                   "XC_CreateContainer(17, \"A_SIG\", 1)", "XC_DisconnectEkey(17)"}));
}

TEST_F(ContainersTest, GenerateKeyPairNamesThePairOfItsKeyType) {
  struct Case {
    const char *name;
    uint32_t key_type;
    int32_t expected;
    const char *name1;
    const char *name2;
  };
  const Case cases[] = {
      {"U_ENC", 1, 0, "U_ENC\\01", "U_ENC\\02"},
      {"U_SIG", 2, 0, "U_SIG\\03", "U_SIG\\04"},
      {"SIGENC", 1, 0, "SIGENC\\01", "SIGENC\\02"},
      {"SIGENC", 2, 0, "SIGENC\\03", "SIGENC\\04"},
      {"U_SIG", 1, -1, "", ""},
      {"U_ENC", 2, -1, "", ""},
      {"U_sig", 2, -1, "", ""},
      {"U_SIG", 3, -1, "", ""},
      {"", 2, -1, "", ""},
  };
  for (const Case &c : cases) {
    fake::Reset();
    uint8_t buf1[64] = {}, buf2[64] = {};
    DataBlob name1{5, buf1}, name2{6, buf2};
    EXPECT_EQ(OB_GenAsymmetricKey(c.name, &name1, &name2, 0, 0, c.key_type), c.expected);
    EXPECT_EQ(Text(buf1), c.name1);
    EXPECT_EQ(Text(buf2), c.name2);
    EXPECT_EQ(name1.cbData, 5u);
    EXPECT_EQ(name2.cbData, 6u);
    if (c.expected == -1) {
      EXPECT_TRUE(fake::Calls().empty());
    }
  }
}

TEST_F(ContainersTest, FailedGenerationStillWritesTheNames) {
  uint8_t buf1[64] = {}, buf2[64] = {};
  DataBlob name1{0, buf1}, name2{0, buf2};
  fake::QueueStatus("XC_GenRSAKey", 0x30001);
  EXPECT_EQ(OB_GenAsymmetricKey("K_SIG", &name1, &name2, 0, 0, 2), 0x30001);
  EXPECT_EQ(Text(buf1), "K_SIG\\03");
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_CreateContainer(17, \"K_SIG\", 2)",
                                  "XC_GenRSAKey(33, 2)", "XC_DisconnectEkey(17)"}));
}

TEST_F(ContainersTest, GenerationStopsWhenNoContainerCanBeHad) {
  uint8_t buf1[64] = {}, buf2[64] = {};
  DataBlob name1{0, buf1}, name2{0, buf2};
  fake::QueueStatus("XC_CreateContainer", 0x20001);
  fake::QueueStatus("XC_CreateContainer", 0x20002);
  EXPECT_EQ(OB_GenAsymmetricKey("K_ENC", &name1, &name2, 0, 0, 1), 0x20002);
  EXPECT_EQ(Text(buf1), "");
  EXPECT_EQ(fake::Calls().back(), "XC_DisconnectEkey(17)");
  EXPECT_EQ(fake::Calls().size(), 4u);
}

TEST_F(ContainersTest, GenerationRefusesRecordsItCannotWriteTo) {
  uint8_t buf[64] = {};
  DataBlob good{0, buf}, no_bytes{0, nullptr};
  EXPECT_EQ(OB_GenAsymmetricKey("K_SIG", nullptr, &good, 0, 0, 2), -1);
  EXPECT_EQ(OB_GenAsymmetricKey("K_SIG", &good, &no_bytes, 0, 0, 2), -1);
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(ContainersTest, FindContainerAndKeypairFormsTheFourNames) {
  uint8_t b2[160] = {}, b3[160] = {}, b4[160] = {}, b5[160] = {};
  DataBlob r2{0, b2}, r3{0, b3}, r4{0, b4}, r5{0, b5};
  EXPECT_EQ(OB_FindContainerAndKeypair("C", &r2, &r3, &r4, &r5), 0);
  EXPECT_EQ(Text(b2), "C\\03");
  EXPECT_EQ(Text(b3), "C\\04");
  EXPECT_EQ(Text(b4), "C\\01");
  EXPECT_EQ(Text(b5), "C\\02");
  for (const DataBlob *r : {&r2, &r3, &r4, &r5}) EXPECT_EQ(r->cbData, 151u);
  EXPECT_TRUE(fake::Calls().empty());

  DataBlob n2{0, nullptr}, n3{0, nullptr}, n4{0, nullptr}, n5{0, nullptr};
  EXPECT_EQ(OB_FindContainerAndKeypair("C", &n2, &n3, &n4, &n5), 0);
  for (const DataBlob *r : {&n2, &n3, &n4, &n5}) EXPECT_EQ(r->cbData, 151u);
}

TEST_F(ContainersTest, FindContainerAndKeypairRefusesNamesThatWouldNotFit) {
  std::string longest(147, 'n');
  uint8_t b[4][160] = {};
  DataBlob r[4] = {{1, b[0]}, {1, b[1]}, {1, b[2]}, {1, b[3]}};
  EXPECT_EQ(OB_FindContainerAndKeypair(longest.c_str(), &r[0], &r[1], &r[2], &r[3]), 0);
  EXPECT_EQ(std::strlen(Text(b[0]).c_str()), 151u - 1);
  for (auto &record : r) record.cbData = 1;
  std::memset(b, 0, sizeof(b));
  EXPECT_EQ(OB_FindContainerAndKeypair((longest + "n").c_str(), &r[0], &r[1], &r[2], &r[3]), -1);
  EXPECT_EQ(OB_FindContainerAndKeypair(nullptr, &r[0], &r[1], &r[2], &r[3]), -1);
  EXPECT_EQ(OB_FindContainerAndKeypair("C", &r[0], nullptr, &r[2], &r[3]), -1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(r[i].cbData, 1u);
    EXPECT_EQ(b[i][0], 0);
  }
}

TEST_F(ContainersTest, RandomDrawsThroughItsOwnSession) {
  DataBlob empty{0, nullptr};
  EXPECT_EQ(OB_GenRandom(&empty), 0);
  EXPECT_EQ(fake::Calls(),
            Calls({"XC_ConnectEkey(7)", "XC_GenRandom(17, 0)", "XC_DisconnectEkey(17)"}));

  fake::Reset();
  uint8_t bytes[4] = {};
  DataBlob four{4, bytes};
  fake::QueueOutput("XC_GenRandom", {9, 8, 7, 6});
  EXPECT_EQ(OB_GenRandom(&four), 0);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), std::vector<uint8_t>({9, 8, 7, 6}));

  fake::QueueStatus("XC_GenRandom", 0x40001);
  testing::internal::CaptureStdout();
  EXPECT_EQ(OB_GenRandom(&four), 0x40001);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>>>>>>>>>>Create Key Error!>>>>>>>>>>\n");

  fake::Reset();
  DataBlob unreadable{4, nullptr};
  EXPECT_EQ(OB_GenRandom(nullptr), -1);
  EXPECT_EQ(OB_GenRandom(&unreadable), -1);
  EXPECT_TRUE(fake::Calls().empty());
}

}  // namespace

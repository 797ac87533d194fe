// Key generation from the token's random numbers, import from blobs, the key
// table, and the fixed key properties.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "key_table.h"
#include "obkey.h"

namespace {

using Bytes = std::vector<uint8_t>;

size_t TableSize() {
  return obkey::TheSymmetricKeyTable().size();
}

using KeyLifecycleTest = obkey_test::FakeTokenTest;

TEST_F(KeyLifecycleTest, TripleDesKeyIsDrawnEightBytesAtATime) {
  for (uint8_t part = 1; part <= 3; ++part) fake::QueueOutput("XC_GenRandom", Bytes(8, part));
  Bytes buffer(30, 0xEE);
  DataBlob key{16, buffer.data()};
  size_t before = TableSize();
  ASSERT_EQ(OB_GenSymmetricKey(CALG_3DES, &key, 0), 0);
  EXPECT_EQ(key.cbData, 16u);
  Bytes expected(30, 0xEE);
  std::fill(expected.begin(), expected.begin() + 8, 1);
  std::fill(expected.begin() + 8, expected.begin() + 16, 2);
  std::fill(expected.begin() + 16, expected.begin() + 24, 3);
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(TableSize(), before + 1);
  EXPECT_EQ(fake::CallsOf("XC_GenRandom"), std::vector<std::string>(3, "XC_GenRandom(17, 8)"));
}

TEST_F(KeyLifecycleTest, StreamKeysAreDrawnWhole) {
  for (uint32_t alg : {CALG_RC4, OB_ALG_KEY_AREA}) {
    fake::Reset();
    fake::QueueOutput("XC_GenRandom", Bytes(5, 0x42));
    Bytes buffer(8, 0xEE);
    DataBlob key{5, buffer.data()};
    ASSERT_EQ(OB_GenSymmetricKey(alg, &key, 0), 0);
    EXPECT_EQ(buffer, Bytes({0x42, 0x42, 0x42, 0x42, 0x42, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(fake::Calls()[1], "XC_GenRandom(17, 5)");
  }
}

TEST_F(KeyLifecycleTest, FailedOrRefusedGenerationRecordsNothing) {
  Bytes buffer(24);
  DataBlob key{24, buffer.data()};
  size_t before = TableSize();
  fake::QueueStatus("XC_GenRandom", 0x70001);
  EXPECT_EQ(OB_GenSymmetricKey(CALG_3DES, &key, 0), 0x70001);
  EXPECT_EQ(fake::Calls().size(), 3u);  // one session, one draw, no more
  fake::Reset();
  EXPECT_EQ(OB_GenSymmetricKey(0x6601 /* CALG_DES */, &key, 0), -1);
  DataBlob no_buffer{24, nullptr};
  EXPECT_EQ(OB_GenSymmetricKey(CALG_RC4, &no_buffer, 0), -1);
  EXPECT_EQ(OB_GenSymmetricKey(CALG_RC4, nullptr, 0), -1);
  EXPECT_TRUE(fake::Calls().empty());
  env_.RemoveRegistry();
  EXPECT_EQ(OB_GenSymmetricKey(CALG_RC4, &key, 0), 3);
  EXPECT_EQ(TableSize(), before);
}

TEST_F(KeyLifecycleTest, ImportTakesTheBytesAfterTheHeader) {
  Bytes blob_bytes(13, 0);
  blob_bytes[12] = 0x5A;
  DataBlob blob{13, blob_bytes.data()};
  DataBlob key{0, nullptr};
  size_t before = TableSize();
  ASSERT_EQ(OB_ImportSymmetricKey(&blob, CALG_RC4, &key), 0);
  EXPECT_EQ(key.cbData, 1u);
  EXPECT_EQ(TableSize(), before);  // a size query records nothing
  uint8_t out = 0;
  key.pbData = &out;
  ASSERT_EQ(OB_ImportSymmetricKey(&blob, CALG_RC4, &key), 0);
  EXPECT_EQ(out, 0x5A);
  EXPECT_EQ(TableSize(), before + 1);
}

TEST_F(KeyLifecycleTest, ImportRefusesWithStatusOne) {
  Bytes bytes(40, 1);
  uint8_t out[40] = {};
  DataBlob key{0, out};
  DataBlob header_only{12, bytes.data()};
  DataBlob no_bytes{40, nullptr};
  DataBlob good{40, bytes.data()};
  EXPECT_EQ(OB_ImportSymmetricKey(&header_only, CALG_3DES, &key), 1);
  EXPECT_EQ(OB_ImportSymmetricKey(&no_bytes, CALG_3DES, &key), 1);
  EXPECT_EQ(OB_ImportSymmetricKey(nullptr, CALG_3DES, &key), 1);
  EXPECT_EQ(OB_ImportSymmetricKey(&good, 0x6601, &key), 1);
  EXPECT_EQ(OB_ImportSymmetricKey(&good, CALG_3DES, nullptr), 1);
  EXPECT_EQ(key.cbData, 0u);
  EXPECT_EQ(out[0], 0);
}

TEST_F(KeyLifecycleTest, KeyPropertiesAreFixedAnswers) {
  struct Case {
    const char *key_name;
    uint32_t property;
    uint32_t capacity;
    int32_t status;
    uint32_t len_after;
    int64_t value;  // -1: nothing written
  };
  const Case cases[] = {
      {"C\\03", KP_ALGID, 4, 0, 4, 0x2400},
      {"C\\04", KP_ALGID, 4, 0, 4, 0x2400},
      {"C\\01", KP_ALGID, 8, 0, 8, 0xA400},
      {"C\\02", KP_ALGID, 4, 0, 4, 0xA400},
      {"C\\05", KP_ALGID, 4, -1, 4, -1},
      {"C\\02", KP_ALGID, 2, 0, 4, -1},
      {"C\\01", KP_PADDING, 4, 0, 4, 1},
      {"C\\01", KP_PERMISSIONS, 4, 0, 4, 7},
      {"C\\01", KP_BLOCKLEN, 4, 0, 4, 1024},
      {"C\\01", KP_MODE, 4, 0, 4, -1},
      {"C\\01", 9, 1, 0, 1, -1},
      {"NOBACKSLASH", KP_PADDING, 4, -1, 4, -1},
      {"NOBACKSLASH", 9, 4, -1, 4, -1},
      {"", KP_PADDING, 4, -1, 4, -1},
      {"A_CONTAINER_NAME_OF_MORE_THAN_16\\03", KP_ALGID, 4, 0, 4, 0x2400},
  };
  for (const Case &c : cases) {
    std::string name = c.key_name;
    DataBlob key_name{0, reinterpret_cast<uint8_t *>(name.data())};
    uint8_t out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t len = c.capacity;
    EXPECT_EQ(OB_GetKeyProperty(&key_name, c.property, out, &len), c.status) << c.key_name;
    EXPECT_EQ(len, c.len_after) << c.key_name << " " << c.property;
    if (c.value < 0) {
      EXPECT_EQ(out[0], 0xEE) << c.key_name << " " << c.property;
    } else {
      uint32_t written = out[0] | (out[1] << 8) | (out[2] << 16) | (uint32_t(out[3]) << 24);
      EXPECT_EQ(written, static_cast<uint32_t>(c.value)) << c.key_name << " " << c.property;
      EXPECT_EQ(out[4], 0xEE);
    }
  }
  std::string name = "C\\03";
  DataBlob key_name{0, reinterpret_cast<uint8_t *>(name.data())};
  uint32_t len = 4;
  EXPECT_EQ(OB_GetKeyProperty(&key_name, KP_ALGID, nullptr, &len), 0);
  EXPECT_EQ(OB_GetKeyProperty(nullptr, KP_ALGID, nullptr, &len), -1);
  EXPECT_TRUE(fake::Calls().empty());
}

}  // namespace

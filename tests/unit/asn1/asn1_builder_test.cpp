#include "asn1_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace obkey {
namespace {

struct LengthCase {
  uint32_t content_len;
  std::vector<uint8_t> header;
};

TEST(Asn1BuilderTest, LengthFormsAtEachBoundary) {
  const LengthCase cases[] = {
      {0, {0x04, 0x00}},
      {127, {0x04, 0x7F}},
      {128, {0x04, 0x81, 0x80}},
      {255, {0x04, 0x81, 0xFF}},
      {256, {0x04, 0x82, 0x01, 0x00}},
      {65535, {0x04, 0x82, 0xFF, 0xFF}},
      {65536, {0x04, 0x83, 0x01, 0x00, 0x00}},
      {16777215, {0x04, 0x83, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.content_len);
    std::vector<uint8_t> content(c.content_len);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + 1);
    // Split unevenly so the parts must be joined in order.
    const uint32_t first = c.content_len / 3;
    CASN1Builder b;
    ASSERT_EQ(b.Add({first, content.data()}), 0);
    ASSERT_EQ(b.Add({c.content_len - first, content.data() + first}), 0);

    uint32_t asked = 0;
    ASSERT_EQ(b.Encode(4, nullptr, &asked), 0);
    const uint32_t expected_len = c.content_len + static_cast<uint32_t>(c.header.size());
    EXPECT_EQ(asked, expected_len);

    std::vector<uint8_t> out(expected_len + 1, 0xCC);
    uint32_t written = 0;
    ASSERT_EQ(b.Encode(4, out.data(), &written), 0);
    EXPECT_EQ(written, expected_len);
    EXPECT_EQ(b.total(), static_cast<int32_t>(expected_len));
    EXPECT_EQ(b.header_len(), static_cast<int32_t>(c.header.size()));
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), out.begin()));
    EXPECT_TRUE(std::equal(content.begin(), content.end(), out.begin() + c.header.size()));
    EXPECT_EQ(out.back(), 0xCC);
  }
}

TEST(Asn1BuilderTest, ContentsBeyondThreeLengthBytesAreRefused) {
  std::vector<uint8_t> content(16777216, 0x5A);
  std::vector<uint8_t> out(content.size() + 8, 0xCC);
  CASN1Builder b;
  ASSERT_EQ(b.Add({static_cast<uint32_t>(content.size()), content.data()}), 0);
  uint32_t len = 77;
  EXPECT_NE(b.Encode(16, nullptr, &len), 0);
  EXPECT_NE(b.Encode(16, out.data(), &len), 0);
  EXPECT_EQ(len, 77u);
  EXPECT_EQ(out[0], 0xCC);

  // Lengths whose 32-bit sum wraps to a small number must not slip through.
  static const uint8_t small[5] = {};
  b.Clear();
  ASSERT_EQ(b.Add({0x80000000u, small}), 0);
  ASSERT_EQ(b.Add({0x80000000u, small}), 0);
  ASSERT_EQ(b.Add({5, small}), 0);
  EXPECT_NE(b.Encode(16, nullptr, &len), 0);
  EXPECT_EQ(len, 77u);
}

TEST(Asn1BuilderTest, TagByte) {
  const struct {
    int tag;
    uint8_t byte;
  } cases[] = {{16, 0x30}, {17, 0x31}, {2, 0x02}, {0x130, 0x30}, {0xA0, 0xA0}, {-1, 0xFF}};
  for (const auto &c : cases) {
    CASN1Builder b;
    uint8_t out[2] = {};
    uint32_t len = 0;
    ASSERT_EQ(b.Encode(c.tag, out, &len), 0);
    EXPECT_EQ(out[0], c.byte) << c.tag;
  }
}

TEST(Asn1BuilderTest, AddStopsAtSixtyFourPartsAndClearStartsOver) {
  uint8_t values[65];
  for (int i = 0; i < 65; ++i) values[i] = static_cast<uint8_t>(i);
  CASN1Builder b;
  for (int i = 0; i < 64; ++i) ASSERT_EQ(b.Add({1, &values[i]}), 0);
  EXPECT_EQ(b.Add({1, &values[64]}), -1);
  EXPECT_EQ(b.count(), 64);

  uint8_t out[67];
  uint32_t len = 0;
  ASSERT_EQ(b.Encode(16, out, &len), 0);
  ASSERT_EQ(len, 66u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(out[2 + i], i);

  b.Clear();
  EXPECT_EQ(b.count(), 0);
  EXPECT_EQ(b.total(), 0);
  ASSERT_EQ(b.Add({1, &values[64]}), 0);
  ASSERT_EQ(b.Encode(2, out, &len), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(out[2], 64);
}

}  // namespace
}  // namespace obkey

#include "rsa_padding.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace obkey::softtoken {
namespace {

TEST(RsaPadding, PadThenUnpadReturnsPayload) {
  for (Pkcs1BlockType type : {Pkcs1BlockType::kSignature, Pkcs1BlockType::kEncryption}) {
    for (size_t len : {size_t{0}, size_t{1}, size_t{35}, kMaxPkcs1Payload}) {
      std::vector<uint8_t> payload(len);
      for (size_t i = 0; i < len; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
      RsaBlock block{};
      ASSERT_TRUE(Pkcs1Pad(type, payload.data(), len, OpenSslRandomBytes, &block));
      EXPECT_EQ(block[0], 0);
      EXPECT_EQ(block[1], static_cast<uint8_t>(type));
      for (size_t i = 2; i < kRsaBlock - len - 1; ++i) {
        if (type == Pkcs1BlockType::kSignature) {
          ASSERT_EQ(block[i], 0xFF) << i;
        } else {
          ASSERT_NE(block[i], 0) << i;
        }
      }
      std::vector<uint8_t> out;
      ASSERT_TRUE(Pkcs1Unpad(type, block, &out));
      EXPECT_EQ(out, payload);
      EXPECT_EQ(PayloadOrBlock(type, block), SecretBytes(payload.begin(), payload.end()));
      // The other block type never accepts it: it hands back the raw block.
      Pkcs1BlockType other = type == Pkcs1BlockType::kSignature ? Pkcs1BlockType::kEncryption
                                                                : Pkcs1BlockType::kSignature;
      EXPECT_FALSE(Pkcs1Unpad(other, block, &out));
      EXPECT_EQ(PayloadOrBlock(other, block), SecretBytes(block.begin(), block.end()));
    }
  }
}

TEST(RsaPadding, PayloadLongerThan117IsRefused) {
  std::vector<uint8_t> payload(kMaxPkcs1Payload + 1);
  RsaBlock block{};
  EXPECT_FALSE(Pkcs1Pad(Pkcs1BlockType::kEncryption, payload.data(), payload.size(),
                        OpenSslRandomBytes, &block));
}

TEST(RsaPadding, EncryptionPaddingIsNonzeroEvenFromAPoorSource) {
  // A source that gives zeros first: every padding byte must still be
  // nonzero, or the separator would be found too early.
  int calls = 0;
  RandomBytes zeros_first = [&](uint8_t *out, size_t len) {
    ++calls;
    for (size_t i = 0; i < len; ++i) out[i] = (calls % 2 == 1) ? 0 : 0x5A;
    return true;
  };
  RsaBlock block{};
  const uint8_t payload[] = {1, 2, 3};
  ASSERT_TRUE(Pkcs1Pad(Pkcs1BlockType::kEncryption, payload, sizeof(payload), zeros_first, &block));
  for (size_t i = 2; i < kRsaBlock - 4; ++i) EXPECT_NE(block[i], 0) << i;
  RandomBytes only_zeros = [](uint8_t *out, size_t len) {
    std::fill(out, out + len, 0);
    return true;
  };
  EXPECT_FALSE(Pkcs1Pad(Pkcs1BlockType::kEncryption, payload, 3, only_zeros, &block));
  RandomBytes failing = [](uint8_t *, size_t) { return false; };
  EXPECT_FALSE(Pkcs1Pad(Pkcs1BlockType::kEncryption, payload, 3, failing, &block));
}

TEST(RsaPadding, MalformedBlocksAreNotUnpadded) {
  RsaBlock good{};
  const uint8_t payload[20] = {};
  ASSERT_TRUE(
      Pkcs1Pad(Pkcs1BlockType::kSignature, payload, sizeof(payload), OpenSslRandomBytes, &good));
  struct Case {
    const char *what;
    void (*edit)(RsaBlock *);
  };
  const Case cases[] = {
      {"leading byte", [](RsaBlock *b) { (*b)[0] = 1; }},
      {"other block type", [](RsaBlock *b) { (*b)[1] = 2; }},
      {"non-FF padding", [](RsaBlock *b) { (*b)[50] = 0xFE; }},
      {"no separator", [](RsaBlock *b) { std::fill(b->begin() + 2, b->end(), 0xFF); }},
      {"padding of 7 bytes", [](RsaBlock *b) { (*b)[9] = 0; }},
  };
  for (const Case &c : cases) {
    RsaBlock block = good;
    c.edit(&block);
    std::vector<uint8_t> out;
    EXPECT_FALSE(Pkcs1Unpad(Pkcs1BlockType::kSignature, block, &out)) << c.what;
    EXPECT_EQ(PayloadOrBlock(Pkcs1BlockType::kSignature, block).size(), kRsaBlock) << c.what;
  }
  // Exactly eight padding bytes is the shortest valid form.
  RsaBlock shortest = good;
  shortest[10] = 0;
  std::vector<uint8_t> out;
  EXPECT_TRUE(Pkcs1Unpad(Pkcs1BlockType::kSignature, shortest, &out));
  EXPECT_EQ(out.size(), kRsaBlock - 11);
}

}  // namespace
}  // namespace obkey::softtoken

// The software side of p11token's RSA: block padding, the private-key DER
// that obkey's key import writes, and the key check before an import.
#include "p11token/rsa_blocks.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include "tests/unit/softtoken/rsa_test_keys.h"

namespace obkey::p11token {
namespace {

namespace keys = obkey::softtoken::testing;
using Bytes = std::vector<uint8_t>;

bool OpenSslRandom(uint8_t *out, size_t len) {
  return RAND_bytes(out, static_cast<int>(len)) == 1;
}

TEST(P11RsaBlocksTest, PaddingRoundTripsAtEveryBoundary) {
  for (BlockType type : {BlockType::kSignature, BlockType::kEncryption}) {
    for (size_t len : {size_t{0}, size_t{1}, size_t{36}, kMaxPkcs1Payload}) {
      Bytes payload(len);
      for (size_t i = 0; i < len; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
      RsaBlock block{};
      ASSERT_TRUE(PadBlock(type, payload.data(), len, OpenSslRandom, &block)) << len;
      EXPECT_EQ(block[0], 0);
      EXPECT_EQ(block[1], static_cast<uint8_t>(type));
      Bytes back;
      ASSERT_TRUE(UnpadBlock(type, block, &back)) << len;
      EXPECT_EQ(back, payload);
      // The other block type never accepts it.
      BlockType other =
          type == BlockType::kSignature ? BlockType::kEncryption : BlockType::kSignature;
      EXPECT_FALSE(UnpadBlock(other, block, &back));
    }
    RsaBlock block{};
    Bytes too_long(kMaxPkcs1Payload + 1);
    EXPECT_FALSE(PadBlock(type, too_long.data(), too_long.size(), OpenSslRandom, &block));
  }
}

TEST(P11RsaBlocksTest, EncryptionPaddingIsNonzeroEvenFromAPoorSource) {
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
  ASSERT_TRUE(PadBlock(BlockType::kEncryption, payload, sizeof(payload), zeros_first, &block));
  for (size_t i = 2; i < kRsaBlock - 4; ++i) EXPECT_NE(block[i], 0) << i;
  RandomBytes only_zeros = [](uint8_t *out, size_t len) {
    std::fill(out, out + len, 0);
    return true;
  };
  EXPECT_FALSE(PadBlock(BlockType::kEncryption, payload, 3, only_zeros, &block));
  RandomBytes failing = [](uint8_t *, size_t) { return false; };
  EXPECT_FALSE(PadBlock(BlockType::kEncryption, payload, 3, failing, &block));
}

TEST(P11RsaBlocksTest, MalformedBlocksAreNotUnpadded) {
  RsaBlock good{};
  const uint8_t payload[] = {0xAA, 0xBB};
  ASSERT_TRUE(PadBlock(BlockType::kSignature, payload, 2, OpenSslRandom, &good));
  struct Case {
    const char *what;
    size_t index;
    uint8_t value;
  } cases[] = {
      {"leading byte not zero", 0, 0x01},
      {"wrong block type", 1, 0x02},
      {"padding byte not 0xFF", 5, 0xFE},
      {"separator after seven padding bytes", 9, 0x00},
  };
  for (const Case &c : cases) {
    RsaBlock block = good;
    block[c.index] = c.value;
    Bytes out;
    EXPECT_FALSE(UnpadBlock(BlockType::kSignature, block, &out)) << c.what;
  }
  RsaBlock no_separator{};
  no_separator.fill(0xFF);
  no_separator[0] = 0;
  no_separator[1] = 1;
  Bytes out;
  EXPECT_FALSE(UnpadBlock(BlockType::kSignature, no_separator, &out));
  // Eight padding bytes is the least a block may have.
  RsaBlock eight{};
  eight.fill(0x11);
  eight[0] = 0;
  eight[1] = 1;
  std::fill(eight.begin() + 2, eight.begin() + 10, 0xFF);
  eight[10] = 0;
  ASSERT_TRUE(UnpadBlock(BlockType::kSignature, eight, &out));
  EXPECT_EQ(out.size(), kRsaBlock - 11);
}

TEST(P11RsaBlocksTest, BlocksAreComparedWithTheModulus) {
  RsaBlock modulus{};
  modulus.fill(0x80);
  RsaBlock below = modulus, equal = modulus, above = modulus;
  below[kRsaBlock - 1] = 0x7F;
  above[0] = 0x81;
  EXPECT_TRUE(BelowModulus(below, modulus));
  EXPECT_FALSE(BelowModulus(equal, modulus));
  EXPECT_FALSE(BelowModulus(above, modulus));
}

TEST(P11RsaBlocksTest, PrivateKeyDerAsObkeyWritesIt) {
  keys::Pkey key = keys::NewRsaKey(1024);
  ASSERT_TRUE(key);
  Bytes strict = keys::StrictDer(key.get());
  struct Case {
    const char *what;
    Bytes der;
    bool readable;
  } cases[] = {
      {"strict DER", strict, true},
      {"long-form lengths", keys::LooseRsaDer(key.get()), true},
      {"redundant leading zeros", keys::LooseRsaDer(key.get(), 3), true},
      {"trailing byte",
       [&] {
         Bytes d = strict;
         d.push_back(0);
         return d;
       }(),
       false},
      {"truncated", Bytes(strict.begin(), strict.end() - 1), false},
      {"empty", {}, false},
      {"not a sequence",
       [&] {
         Bytes d = strict;
         d[0] = 0x31;
         return d;
       }(),
       false},
      {"indefinite length", {0x30, 0x80, 0x02, 0x01, 0x00, 0x00, 0x00}, false},
      {"version 1",
       [&] {
         Bytes d = keys::LooseRsaDer(key.get());
         d[6] = 1;  // 30 82 xx xx 02 01 <version>
         return d;
       }(),
       false},
      {"negative modulus",
       [&] {
         Bytes d = keys::LooseRsaDer(key.get());
         // 30 82 xx xx | 02 01 00 | 02 81 81 00 <n>: drop the sign byte's
         // zero so that n reads as negative.
         d[10] = 0x80;
         return d;
       }(),
       false},
  };
  Bytes modulus = keys::Part(key.get(), OSSL_PKEY_PARAM_RSA_N, 128);
  for (const Case &c : cases) {
    RsaPrivateKey read;
    EXPECT_EQ(ReadRsaPrivateKey(c.der.data(), c.der.size(), &read), c.readable) << c.what;
    if (c.readable) {
      EXPECT_EQ(read.n, modulus) << c.what;
      EXPECT_EQ(read.e, Bytes({1, 0, 1})) << c.what;
      EXPECT_TRUE(CheckRsaPrivateKey(read)) << c.what;
    }
  }
}

TEST(P11RsaBlocksTest, OnlyConsistent1024BitKeysWithF4PassTheCheck) {
  keys::Pkey small = keys::NewRsaKey(1024), large = keys::NewRsaKey(2048);
  ASSERT_TRUE(small && large);
  auto read = [](const Bytes &der, RsaPrivateKey *out) {
    return ReadRsaPrivateKey(der.data(), der.size(), out);
  };
  RsaPrivateKey good, big, swapped;
  ASSERT_TRUE(read(keys::StrictDer(small.get()), &good));
  EXPECT_TRUE(CheckRsaPrivateKey(good));
  ASSERT_TRUE(read(keys::StrictDer(large.get()), &big));
  EXPECT_FALSE(CheckRsaPrivateKey(big));
  ASSERT_TRUE(read(keys::StrictDer(small.get()), &swapped));
  swapped.d.back() ^= 0x02;  // a wrong private exponent
  EXPECT_FALSE(CheckRsaPrivateKey(swapped));
  RsaPrivateKey other_exponent;
  ASSERT_TRUE(read(keys::StrictDer(small.get()), &other_exponent));
  other_exponent.e = {0x03};
  EXPECT_FALSE(CheckRsaPrivateKey(other_exponent));
}

}  // namespace
}  // namespace obkey::p11token

// The software side of p11token's RSA (the block rules are tested with the
// software token, which shares them): the modulus check, the private-key DER
// that obkey's key import writes, and the key check before an import.
#include "rsa_blocks.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include "rsa_test_keys.h"

namespace obkey::p11token {
namespace {

namespace keys = obkey::softtoken::testing;
using Bytes = std::vector<uint8_t>;

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

#include "rsa_der.h"

#include <gtest/gtest.h>

#include "rsa_test_keys.h"

namespace obkey::softtoken {
namespace {

using testing::LooseRsaDer;
using testing::NewRsaKey;
using testing::StrictDer;

TEST(RsaDer, LooseEncodingsNormalizeToOpenSslsDer) {
  testing::Pkey key = NewRsaKey(1024);
  ASSERT_NE(key, nullptr);
  const std::vector<uint8_t> strict = StrictDer(key.get());
  for (size_t extra_zeros : {0u, 1u, 3u}) {
    obkey::SecretBytes normalized;
    std::vector<uint8_t> loose = LooseRsaDer(key.get(), extra_zeros);
    ASSERT_TRUE(NormalizeRsaPrivateKeyDer(loose.data(), loose.size(), &normalized)) << extra_zeros;
    EXPECT_EQ(testing::Plain(normalized), strict) << extra_zeros;
  }
  obkey::SecretBytes normalized;
  ASSERT_TRUE(NormalizeRsaPrivateKeyDer(strict.data(), strict.size(), &normalized));
  EXPECT_EQ(testing::Plain(normalized), strict);
}

TEST(RsaDer, RejectsMalformedKeys) {
  testing::Pkey key = NewRsaKey(1024);
  const std::vector<uint8_t> good = LooseRsaDer(key.get());
  // Offsets into `good`: 0x30 0x82 len len, then version 02 01 00, then n.
  struct Case {
    const char *what;
    std::vector<uint8_t> der;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"not a sequence",
       [&] {
         auto d = good;
         d[0] = 0x31;
         return d;
       }()},
      {"trailing byte",
       [&] {
         auto d = good;
         d.push_back(0);
         return d;
       }()},
      {"truncated", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"version 1",
       [&] {
         auto d = good;
         d[6] = 1;
         return d;
       }()},
      {"integer tag wrong",
       [&] {
         auto d = good;
         d[7] = 0x04;
         return d;
       }()},
      {"indefinite length",
       [&] {
         auto d = good;
         d[1] = 0x80;
         return d;
       }()},
      {"eight integers",
       {0x30, 0x18, 0x02, 0x01, 0x00, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01,
        0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}},
      {"negative integer",
       {0x30, 0x1B, 0x02, 0x01, 0x00, 0x02, 0x01, 0x81, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02,
        0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}},
      {"empty integer",
       {0x30, 0x1A, 0x02, 0x01, 0x00, 0x02, 0x00, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02,
        0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}},
  };
  for (const Case &c : cases) {
    obkey::SecretBytes out = {0xEE};
    EXPECT_FALSE(NormalizeRsaPrivateKeyDer(c.der.data(), c.der.size(), &out)) << c.what;
    EXPECT_EQ(testing::Plain(out), std::vector<uint8_t>{0xEE}) << c.what;
  }
}

TEST(RsaDer, NineSmallIntegersNormalize) {
  // Shape only: normalization does not judge whether the numbers form a key.
  const std::vector<uint8_t> der = {0x30, 0x1D, 0x02, 0x02, 0x00, 0x00, 0x02, 0x02,
                                    0x00, 0x7F, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01,
                                    0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01,
                                    0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01};
  const std::vector<uint8_t> expected = {0x30, 0x1B, 0x02, 0x01, 0x00, 0x02, 0x01, 0x7F, 0x02, 0x01,
                                         0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01,
                                         0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01};
  obkey::SecretBytes out;
  ASSERT_TRUE(NormalizeRsaPrivateKeyDer(der.data(), der.size(), &out));
  EXPECT_EQ(testing::Plain(out), expected);
}

}  // namespace
}  // namespace obkey::softtoken

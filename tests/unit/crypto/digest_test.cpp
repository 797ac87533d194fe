#include "digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "md2.h"
#include "md5.h"
#include "message_digest.h"
#include "sha1.h"
#include "test_util.h"
#include "vector_file.h"

namespace obkey {
namespace {

using test::Bytes;
using test::Hex;
using test::TestRandom;

enum class Alg { kMd2, kMd5, kSha1 };

// Digests |msg| fed in the pieces given by |cuts| (increasing offsets).
Bytes Digest(Alg alg, const Bytes &msg, const std::vector<size_t> &cuts = {}) {
  std::vector<size_t> bounds = cuts;
  bounds.push_back(msg.size());
  Bytes out(alg == Alg::kSha1 ? 20 : 16);
  size_t from = 0;
  if (alg == Alg::kSha1) {
    Sha1Context ctx;
    EXPECT_EQ(0, Sha1Init(&ctx));
    for (size_t to : bounds) {
      EXPECT_EQ(0, Sha1Update(&ctx, msg.data() + from, static_cast<uint32_t>(to - from)));
      from = to;
    }
    EXPECT_EQ(0, Sha1Final(&ctx, out.data()));
  } else {
    DigestContext ctx;
    EXPECT_EQ(0, DigestInit(&ctx, alg == Alg::kMd2 ? DIGEST_MD2 : DIGEST_MD5));
    for (size_t to : bounds) {
      EXPECT_EQ(0, DigestUpdate(&ctx, msg.data() + from, static_cast<uint32_t>(to - from)));
      from = to;
    }
    uint32_t len = 0;
    EXPECT_EQ(0, DigestFinal(&ctx, out.data(), &len));
    EXPECT_EQ(16u, len);
  }
  return out;
}

Bytes EvpDigest(Alg alg, const Bytes &msg) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EXPECT_EQ(1, EVP_Digest(msg.data(), msg.size(), out.data(), &len,
                          alg == Alg::kSha1 ? EVP_sha1() : EVP_md5(), nullptr));
  out.resize(len);
  return out;
}

// Runs the body once per SHA-1 engine this machine has, restoring the default.
template <typename Body>
void ForEachSha1Engine(Body body) {
  const Sha1Engine saved = Sha1ActiveEngine();
  for (Sha1Engine engine : {Sha1Engine::kPortable, Sha1Engine::kShaExtensions}) {
    if (!Sha1SelectEngine(engine)) continue;
    SCOPED_TRACE(engine == Sha1Engine::kPortable ? "portable SHA-1" : "SHA-1 extensions");
    body();
  }
  Sha1SelectEngine(saved);
}

// --- Published vectors -----------------------------------------------------

struct VectorCase {
  const char *file;
  Alg alg;
};

class DigestVectorTest : public ::testing::TestWithParam<VectorCase> {};

TEST_P(DigestVectorTest, OneCallByteByByteAndEverySplit) {
  std::vector<test::VectorRecord> records;
  std::string error;
  ASSERT_TRUE(test::ReadVectorFile(test::VectorPath(GetParam().file), &records, &error)) << error;
  ASSERT_FALSE(records.empty());
  const Alg alg = GetParam().alg;

  auto check = [&]() {
    for (const auto &r : records) {
      Bytes msg = r.Bytes("Msg");
      const std::string expected = r.Text("Digest");
      if (r.Has("Repeat")) {
        const Bytes unit = msg;
        const size_t times = std::stoul(r.Text("Repeat"));
        msg.clear();
        for (size_t i = 0; i < times; ++i) msg.insert(msg.end(), unit.begin(), unit.end());
      }
      SCOPED_TRACE("line " + std::to_string(r.line));
      EXPECT_EQ(expected, Hex(Digest(alg, msg)));
      if (msg.size() > 200) {
        // Long messages in uneven pieces, crossing block edges.
        std::vector<size_t> cuts;
        for (size_t at = 1; at < msg.size(); at += 4093) cuts.push_back(at);
        EXPECT_EQ(expected, Hex(Digest(alg, msg, cuts)));
        continue;
      }
      std::vector<size_t> every_byte;
      for (size_t at = 1; at < msg.size(); ++at) every_byte.push_back(at);
      EXPECT_EQ(expected, Hex(Digest(alg, msg, every_byte)));
      for (size_t at = 0; at <= msg.size(); ++at) {
        EXPECT_EQ(expected, Hex(Digest(alg, msg, {at}))) << "split at " << at;
      }
    }
  };
  if (alg == Alg::kSha1) {
    ForEachSha1Engine(check);
  } else {
    check();
  }
}

INSTANTIATE_TEST_SUITE_P(Published, DigestVectorTest,
                         ::testing::Values(VectorCase{"md5_rfc1321.txt", Alg::kMd5},
                                           VectorCase{"md2_rfc1319.txt", Alg::kMd2},
                                           VectorCase{"sha1_fips180.txt", Alg::kSha1}),
                         [](const auto &param_info) {
                           const Alg a = param_info.param.alg;
                           return std::string(a == Alg::kMd2   ? "Md2"
                                              : a == Alg::kMd5 ? "Md5"
                                                               : "Sha1");
                         });

// --- Cross-check against OpenSSL -------------------------------------------

class DigestOpenSslTest : public ::testing::TestWithParam<Alg> {};

TEST_P(DigestOpenSslTest, AgreesWithEvpAtBlockEdgesAndRandomSplits) {
  const Alg alg = GetParam();
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {255, 256, 447, 448, 1000, 4095, 4096, 4097, 16384 + 55}) lengths.push_back(n);
  auto check = [&]() {
    TestRandom rng(11);
    for (size_t n : lengths) {
      const Bytes msg = rng.NextBytes(n);
      const std::string expected = Hex(EvpDigest(alg, msg));
      ASSERT_EQ(expected, Hex(Digest(alg, msg))) << "length " << n;
      std::vector<size_t> cuts;
      for (size_t at = rng.Below(70); at < n; at += 1 + rng.Below(150)) cuts.push_back(at);
      ASSERT_EQ(expected, Hex(Digest(alg, msg, cuts))) << "length " << n << " in pieces";
    }
  };
  if (alg == Alg::kSha1) {
    ForEachSha1Engine(check);
  } else {
    check();
  }
}

INSTANTIATE_TEST_SUITE_P(Evp, DigestOpenSslTest, ::testing::Values(Alg::kMd5, Alg::kSha1),
                         [](const auto &param_info) {
                           return std::string(param_info.param == Alg::kMd5 ? "Md5" : "Sha1");
                         });

TEST(Sha1Engines, AgreeOnUnalignedInput) {
  if (!Sha1HasEngine(Sha1Engine::kShaExtensions)) GTEST_SKIP() << "no SHA extensions here";
  TestRandom rng(12);
  Bytes buffer = rng.NextBytes(4096 + 16);
  std::string reference;
  ForEachSha1Engine([&]() {
    for (size_t offset = 0; offset < 16; ++offset) {
      Bytes msg(buffer.begin() + offset, buffer.begin() + offset + 4096);
      const std::string got = Hex(Digest(Alg::kSha1, msg));
      EXPECT_EQ(Hex(EvpDigest(Alg::kSha1, msg)), got) << "offset " << offset;
    }
  });
}

// --- Contract of the primitives ---------------------------------------------

TEST(Md5AndMd2, FinalWipesTheWholeContext) {
  const Bytes msg(100, 0x61);
  uint8_t digest[16];
  Md5Context md5;
  Md5Init(&md5);
  Md5Update(&md5, msg.data(), 100);
  Md5Final(digest, &md5);
  EXPECT_EQ(Hex(Bytes(sizeof md5, 0)), Hex(reinterpret_cast<uint8_t *>(&md5), sizeof md5));

  Md2Context md2;
  Md2Init(&md2);
  Md2Update(&md2, msg.data(), 100);
  Md2Final(digest, &md2);
  EXPECT_EQ(Hex(Bytes(sizeof md2, 0)), Hex(reinterpret_cast<uint8_t *>(&md2), sizeof md2));
}

TEST(DigestDispatcher, UnknownAlgorithmIsStoredAndRefused) {
  for (int32_t alg : {0, 2, 4, 6, -1}) {
    DigestContext ctx;
    EXPECT_EQ(CRYPTO_E_DIGEST_ALG, DigestInit(&ctx, alg));
    EXPECT_EQ(alg, ctx.algorithm);
  }
}

TEST(Sha1Status, NullPointersAreRefusedWithoutChange) {
  EXPECT_EQ(SHA1_E_NULL, Sha1Init(nullptr));
  Sha1Context ctx;
  ASSERT_EQ(0, Sha1Init(&ctx));
  const uint8_t byte = 'a';
  EXPECT_EQ(0, Sha1Update(nullptr, nullptr, 0));  // length 0 wins over the pointers
  EXPECT_EQ(SHA1_E_NULL, Sha1Update(nullptr, &byte, 1));
  Sha1Context before = ctx;
  EXPECT_EQ(SHA1_E_NULL, Sha1Update(&ctx, nullptr, 1));
  EXPECT_EQ(0, std::memcmp(&before, &ctx, sizeof ctx));
  uint8_t digest[20];
  EXPECT_EQ(SHA1_E_NULL, Sha1Final(nullptr, digest));
  EXPECT_EQ(SHA1_E_NULL, Sha1Final(&ctx, nullptr));
  // The context is still sound: it digests the empty message.
  EXPECT_EQ(0, Sha1Final(&ctx, digest));
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(digest, 20));
}

TEST(Sha1Status, UpdateAfterFinishPoisonsTheContext) {
  Sha1Context ctx;
  Sha1Init(&ctx);
  const uint8_t abc[] = {'a', 'b', 'c'};
  Sha1Update(&ctx, abc, 3);
  uint8_t first[20], second[20];
  ASSERT_EQ(0, Sha1Final(&ctx, first));
  // A second finish writes the same digest.
  ASSERT_EQ(0, Sha1Final(&ctx, second));
  EXPECT_EQ(Hex(first, 20), Hex(second, 20));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Hex(first, 20));

  EXPECT_EQ(SHA1_E_STATE_ERROR, Sha1Update(&ctx, abc, 3));
  EXPECT_EQ(SHA1_E_STATE_ERROR, ctx.corrupted);
  EXPECT_EQ(SHA1_E_STATE_ERROR, Sha1Update(&ctx, abc, 1));
  EXPECT_EQ(SHA1_E_STATE_ERROR, Sha1Final(&ctx, second));
  EXPECT_EQ(0, Sha1Update(&ctx, abc, 0));
}

TEST(Sha1Status, BitCountOverflowPoisonsAndDropsTheRest) {
  // |room| bytes are left before the 64-bit bit count wraps.
  struct {
    uint32_t room, len;
    bool poisoned;
    uint32_t absorbed;
  } cases[] = {
      {2, 5, true, 2}, {5, 5, true, 5}, {6, 5, false, 5}, {1, 1, true, 1}, {64, 200, true, 64}};
  for (const auto &c : cases) {
    SCOPED_TRACE("room " + std::to_string(c.room) + " length " + std::to_string(c.len));
    Sha1Context ctx;
    Sha1Init(&ctx);
    const uint64_t bits = 0 - static_cast<uint64_t>(c.room) * 8;
    ctx.length_high = static_cast<uint32_t>(bits >> 32);
    ctx.length_low = static_cast<uint32_t>(bits);
    const Bytes data(c.len, 0x5A);
    EXPECT_EQ(0, Sha1Update(&ctx, data.data(), c.len));
    EXPECT_EQ(c.poisoned ? SHA1_E_NULL : 0, ctx.corrupted);
    EXPECT_EQ(static_cast<int32_t>(c.absorbed % 64), ctx.index);
    const uint64_t now = static_cast<uint64_t>(ctx.length_high) << 32 | ctx.length_low;
    EXPECT_EQ(bits + 8ull * c.absorbed, now);
    uint8_t digest[20];
    if (c.poisoned) {
      EXPECT_EQ(SHA1_E_NULL, Sha1Update(&ctx, data.data(), 1));
      EXPECT_EQ(SHA1_E_NULL, Sha1Final(&ctx, digest));
    } else {
      EXPECT_EQ(0, Sha1Final(&ctx, digest));
    }
  }
}

// --- The exported digest call -------------------------------------------------

TEST(DigestMessage, SizeQueriesAndWrites) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const std::string md5_abc = "900150983cd24fb0d6963f7d28e17f72";
  const std::string sha1_abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
  struct {
    uint32_t alg;
    bool null_out;
    uint32_t capacity;
    int32_t status;
    uint32_t out_len;     // *outLen afterwards
    const char *written;  // digest written, or nullptr when out stays untouched
  } cases[] = {
      {kDigestAlgMd5, true, 100, 0, 16, nullptr},
      {kDigestAlgSha1, true, 100, 0, 20, nullptr},
      {kDigestAlgMd5, false, 15, 0, 16, nullptr},
      {kDigestAlgMd5, false, 0, 0, 16, nullptr},
      {kDigestAlgSha1, false, 19, 0, 20, nullptr},
      {kDigestAlgMd5, false, 16, 0, 16, md5_abc.c_str()},
      {kDigestAlgSha1, false, 64, 0, 20, sha1_abc.c_str()},
      {kDigestAlgMd5, false, 0xFFFFFFFF, 0, 16, md5_abc.c_str()},
      {0x8001, false, 64, kDigestBadAlgorithm, 64, nullptr},  // CALG_MD2
      {0x8002, true, 7, kDigestBadAlgorithm, 7, nullptr},
      {0, false, 64, kDigestBadAlgorithm, 64, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("alg " + std::to_string(c.alg) + " capacity " + std::to_string(c.capacity));
    uint8_t out[64];
    std::memset(out, 0xCC, sizeof out);
    uint32_t out_len = c.capacity;
    EXPECT_EQ(c.status, DigestMessage(c.null_out ? nullptr : out, &out_len, abc, 3, c.alg));
    EXPECT_EQ(c.out_len, out_len);
    if (c.written != nullptr) {
      EXPECT_EQ(c.written, Hex(out, c.out_len));
      EXPECT_EQ(Hex(Bytes(64 - c.out_len, 0xCC)), Hex(out + c.out_len, 64 - c.out_len));
    } else {
      EXPECT_EQ(Hex(Bytes(64, 0xCC)), Hex(out, 64));
    }
  }
}

TEST(DigestMessage, EmptyMessageMayComeWithoutABuffer) {
  uint8_t out[20];
  uint32_t out_len = 20;
  EXPECT_EQ(0, DigestMessage(out, &out_len, nullptr, 0, kDigestAlgMd5));
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Hex(out, 16));
  out_len = 20;
  EXPECT_EQ(0, DigestMessage(out, &out_len, nullptr, 0, kDigestAlgSha1));
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(out, 20));
}

TEST(DigestMessage, SizeQueryAnswersBeforeTheMessageIsChecked) {
  for (uint32_t alg : {kDigestAlgMd5, kDigestAlgSha1}) {
    uint32_t out_len = 0;
    EXPECT_EQ(0, DigestMessage(nullptr, &out_len, nullptr, 5, alg));
    EXPECT_EQ(alg == kDigestAlgMd5 ? 16u : 20u, out_len);
    uint8_t out[20];
    EXPECT_EQ(kDigestBadArgument, DigestMessage(out, &out_len, nullptr, 5, alg));
  }
}

TEST(DigestMessage, AgreesWithEvpOnLongMessages) {
  TestRandom rng(13);
  for (size_t n : {55, 56, 63, 64, 65, 3000, 70000}) {
    const Bytes msg = rng.NextBytes(n);
    uint8_t out[20];
    uint32_t out_len = 20;
    ASSERT_EQ(0,
              DigestMessage(out, &out_len, msg.data(), static_cast<uint32_t>(n), kDigestAlgSha1));
    EXPECT_EQ(Hex(EvpDigest(Alg::kSha1, msg)), Hex(out, 20));
    out_len = 16;
    ASSERT_EQ(0, DigestMessage(out, &out_len, msg.data(), static_cast<uint32_t>(n), kDigestAlgMd5));
    EXPECT_EQ(Hex(EvpDigest(Alg::kMd5, msg)), Hex(out, 16));
  }
}

}  // namespace
}  // namespace obkey

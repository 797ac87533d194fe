#include "tdes.h"

#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"
#include "vector_file.h"

namespace obkey {
namespace {

using test::Bytes;
using test::Hex;
using test::TestRandom;

enum class Mode { kEcb, kCbc, kCfb, kOfb };

const char *ModeName(Mode mode) {
  switch (mode) {
    case Mode::kEcb:
      return "ECB";
    case Mode::kCbc:
      return "CBC";
    case Mode::kCfb:
      return "CFB64";
    case Mode::kOfb:
      return "OFB64";
  }
  return "?";
}

// Runs one mode over |data| in place, in one call.
int32_t RunMode(Mode mode, bool encrypt, const TripleDesContext &ctx, uint8_t vector[8],
                int32_t *position, uint8_t *data, int32_t len) {
  switch (mode) {
    case Mode::kEcb:
      return encrypt ? TripleDesEcbEncrypt(&ctx, data, len) : TripleDesEcbDecrypt(&ctx, data, len);
    case Mode::kCbc:
      return encrypt ? TripleDesCbcEncrypt(&ctx, vector, data, len)
                     : TripleDesCbcDecrypt(&ctx, vector, data, len);
    case Mode::kCfb:
      return encrypt ? TripleDesCfb64Encrypt(&ctx, vector, position, data, len)
                     : TripleDesCfb64Decrypt(&ctx, vector, position, data, len);
    case Mode::kOfb:
      return TripleDesOfb64(&ctx, vector, position, data, len);
  }
  return -1;
}

Bytes RunOnce(Mode mode, bool encrypt, const TripleDesContext &ctx, const Bytes &iv,
              const Bytes &in) {
  Bytes data = in;
  uint8_t vector[8] = {0};
  if (!iv.empty()) std::memcpy(vector, iv.data(), 8);
  int32_t position = 0;
  EXPECT_EQ(0, RunMode(mode, encrypt, ctx, vector, &position, data.data(),
                       static_cast<int32_t>(data.size())));
  return data;
}

// A random key that TripleDesSetKey accepts, already set into |ctx|.
Bytes GoodKey(TestRandom &rng, size_t len, TripleDesContext *ctx) {
  for (;;) {
    Bytes key = rng.NextBytes(len);
    if (TripleDesSetKey(key.data(), static_cast<int32_t>(len), ctx) == 0) return key;
  }
}

// --- Published vectors -----------------------------------------------------

struct VectorFileCase {
  const char *file;
  Mode mode;
};

class TripleDesVectorTest : public ::testing::TestWithParam<VectorFileCase> {};

TEST_P(TripleDesVectorTest, MatchesPublishedValues) {
  const VectorFileCase &param = GetParam();
  std::vector<test::VectorRecord> records;
  std::string error;
  ASSERT_TRUE(test::ReadVectorFile(test::VectorPath(param.file), &records, &error)) << error;
  ASSERT_FALSE(records.empty());

  for (const auto &r : records) {
    SCOPED_TRACE(std::string(param.file) + " line " + std::to_string(r.line));
    Bytes key;
    if (r.Has("KEYs")) {
      Bytes k = r.Bytes("KEYs");
      key.insert(key.end(), k.begin(), k.end());
      key.insert(key.end(), k.begin(), k.end());
      key.insert(key.end(), k.begin(), k.end());
    } else {
      for (const char *name : {"KEY1", "KEY2", "KEY3"}) {
        Bytes k = r.Bytes(name);
        key.insert(key.end(), k.begin(), k.end());
      }
    }
    ASSERT_EQ(24u, key.size());
    const bool two_key = std::memcmp(key.data(), key.data() + 16, 8) == 0;
    const Bytes plain = r.Bytes("PLAINTEXT");
    const Bytes cipher = r.Bytes("CIPHERTEXT");
    const Bytes iv = r.Bytes("IV");
    ASSERT_EQ(plain.size(), cipher.size());

    // A two-key vector must give the same results through a 16-byte key.
    for (size_t key_len : two_key ? std::vector<size_t>{24, 16} : std::vector<size_t>{24}) {
      SCOPED_TRACE("key length " + std::to_string(key_len));
      Bytes key_copy(key.begin(), key.begin() + key_len);
      TripleDesContext ctx;
      ASSERT_EQ(0, TripleDesSetKey(key_copy.data(), static_cast<int32_t>(key_len), &ctx));
      if (r.section == "ENCRYPT") {
        EXPECT_EQ(Hex(cipher), Hex(RunOnce(param.mode, true, ctx, iv, plain)));
      }
      // Every record is checked in the decrypting direction as well.
      EXPECT_EQ(Hex(plain), Hex(RunOnce(param.mode, false, ctx, iv, cipher)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Nist, TripleDesVectorTest,
                         ::testing::Values(VectorFileCase{"tdes/TECBsubtab.rsp", Mode::kEcb},
                                           VectorFileCase{"tdes/TECBMMT2.rsp", Mode::kEcb},
                                           VectorFileCase{"tdes/TECBMMT3.rsp", Mode::kEcb},
                                           VectorFileCase{"tdes/TCBCMMT2.rsp", Mode::kCbc},
                                           VectorFileCase{"tdes/TCBCMMT3.rsp", Mode::kCbc},
                                           VectorFileCase{"tdes/TCFB64MMT2.rsp", Mode::kCfb},
                                           VectorFileCase{"tdes/TCFB64MMT3.rsp", Mode::kCfb},
                                           VectorFileCase{"tdes/TOFBMMT2.rsp", Mode::kOfb},
                                           VectorFileCase{"tdes/TOFBMMT3.rsp", Mode::kOfb}));

// --- Cross-check against OpenSSL's EVP modes --------------------------------

const EVP_CIPHER *EvpCipher(Mode mode, size_t key_len) {
  const bool three = key_len == 24;
  switch (mode) {
    case Mode::kEcb:
      return three ? EVP_des_ede3_ecb() : EVP_des_ede_ecb();
    case Mode::kCbc:
      return three ? EVP_des_ede3_cbc() : EVP_des_ede_cbc();
    case Mode::kCfb:
      return three ? EVP_des_ede3_cfb64() : EVP_des_ede_cfb64();
    case Mode::kOfb:
      return three ? EVP_des_ede3_ofb() : EVP_des_ede_ofb();
  }
  return nullptr;
}

Bytes EvpRun(Mode mode, const Bytes &key, bool encrypt, const Bytes &in) {
  const uint8_t zero_iv[8] = {0};
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 8);
  int len = 0;
  int total = 0;
  EXPECT_EQ(1, EVP_CipherInit_ex(ctx, EvpCipher(mode, key.size()), nullptr, key.data(), zero_iv,
                                 encrypt ? 1 : 0));
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(1, EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())));
  total = len;
  EXPECT_EQ(1, EVP_CipherFinal_ex(ctx, out.data() + total, &len));
  total += len;
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(total));
  return out;
}

class TripleDesOpenSslTest : public ::testing::TestWithParam<Mode> {};

TEST_P(TripleDesOpenSslTest, AgreesWithEvpOverManyLengths) {
  const Mode mode = GetParam();
  const bool whole_blocks = mode == Mode::kEcb || mode == Mode::kCbc;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) {
    if (!whole_blocks || n % 8 == 0) lengths.push_back(n);
  }
  for (size_t n : {504, 512, 1000, 1024, 4096, 4101}) {
    if (!whole_blocks || n % 8 == 0) lengths.push_back(n);
  }
  TestRandom rng(0x7de5 + static_cast<uint32_t>(mode));
  for (size_t key_len : {16, 24}) {
    for (size_t n : lengths) {
      SCOPED_TRACE(std::string(ModeName(mode)) + " key " + std::to_string(key_len) + " length " +
                   std::to_string(n));
      TripleDesContext ctx;
      const Bytes key = GoodKey(rng, key_len, &ctx);
      const Bytes plain = rng.NextBytes(n);
      const Bytes cipher = RunOnce(mode, true, ctx, {}, plain);
      ASSERT_EQ(Hex(EvpRun(mode, key, true, plain)), Hex(cipher));
      ASSERT_EQ(Hex(plain), Hex(RunOnce(mode, false, ctx, {}, cipher)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, TripleDesOpenSslTest,
                         ::testing::Values(Mode::kEcb, Mode::kCbc, Mode::kCfb, Mode::kOfb),
                         [](const auto &param_info) {
                           return std::string(ModeName(param_info.param));
                         });

// --- Key preparation --------------------------------------------------------

TEST(TripleDesSetKey, AdjustsEveryByteToOddParityInPlace) {
  struct {
    uint8_t in, out;
  } cases[] = {{0x00, 0x01}, {0xFF, 0xFE}, {0x01, 0x01}, {0xFE, 0xFE}, {0x1E, 0x1F},
               {0x80, 0x80}, {0x81, 0x80}, {0x3C, 0x3D}, {0xA7, 0xA7}, {0x6E, 0x6E}};
  for (const auto &c : cases) {
    // The probe byte sits in every position of a key whose other bytes (0x23)
    // are already odd and clear of the weak prefixes.
    for (int pos = 0; pos < 24; ++pos) {
      uint8_t key[24];
      std::memset(key, 0x23, sizeof key);
      key[pos] = c.in;
      TripleDesContext ctx;
      ASSERT_EQ(0, TripleDesSetKey(key, 24, &ctx)) << "position " << pos;
      EXPECT_EQ(c.out, key[pos]) << "byte " << std::hex << int(c.in) << " at " << pos;
    }
  }

  TestRandom rng(1);
  for (int i = 0; i < 200; ++i) {
    TripleDesContext ctx;
    Bytes key = GoodKey(rng, i % 2 ? 16 : 24, &ctx);
    for (uint8_t b : key) EXPECT_EQ(1, __builtin_popcount(b) % 2) << Hex(key);
  }
}

using Prefix = std::array<uint8_t, 4>;

// The four-byte prefixes of the keys OpenSSL calls weak or semi-weak. Every
// such key is made of the bytes 01, FE, 1F, E0, 0E and F1, so a search over
// those finds them all without knowing the list.
std::set<Prefix> SearchWeakPrefixes() {
  static const uint8_t kBytes[6] = {0x01, 0xFE, 0x1F, 0xE0, 0x0E, 0xF1};
  std::set<Prefix> prefixes;
  DES_cblock key;
  for (uint32_t n = 0; n < 6 * 6 * 6 * 6 * 6 * 6 * 6 * 6; ++n) {
    uint32_t digits = n;
    for (int i = 0; i < 8; ++i, digits /= 6) key[i] = kBytes[digits % 6];
    if (DES_is_weak_key(&key)) prefixes.insert(Prefix{key[0], key[1], key[2], key[3]});
  }
  return prefixes;
}

const std::set<Prefix> &WeakPrefixesFromOpenSsl() {
  static const std::set<Prefix> prefixes = SearchWeakPrefixes();
  return prefixes;
}

TEST(TripleDesSetKey, RefusesAPartExactlyWhenItsPrefixIsAWeakKeysPrefix) {
  const std::set<Prefix> &weak = WeakPrefixesFromOpenSsl();
  ASSERT_EQ(16u, weak.size());
  // Every prefix over the bytes weak keys begin with: refused exactly when
  // it begins a weak key, whatever follows it.
  static const uint8_t kLeading[4] = {0x01, 0xFE, 0x1F, 0xE0};
  TestRandom rng(3);
  for (uint32_t n = 0; n < 256; ++n) {
    Prefix prefix;
    for (int i = 0; i < 4; ++i) prefix[i] = kLeading[(n >> (2 * i)) & 3];
    Bytes key(24, 0x23);
    std::memcpy(key.data(), prefix.data(), 4);
    Bytes tail = rng.NextBytes(4);
    std::memcpy(key.data() + 4, tail.data(), 4);
    TripleDesContext ctx;
    EXPECT_EQ(weak.count(prefix) ? CIPHER_E_KEY : 0, TripleDesSetKey(key.data(), 24, &ctx))
        << Hex(prefix.data(), 4);
  }
}

TEST(TripleDesSetKey, RefusesWeakPrefixesInEveryPartLeavingLaterPartsAlone) {
  const std::set<Prefix> &prefixes = WeakPrefixesFromOpenSsl();
  // Bytes of even parity, so that an adjustment shows.
  const uint8_t kEven = 0x22;
  TestRandom rng(2);
  for (const auto &prefix : prefixes) {
    for (int part = 0; part < 3; ++part) {
      SCOPED_TRACE("prefix " + Hex(prefix.data(), 4) + " in part " + std::to_string(part + 1));
      uint8_t key[24];
      std::memset(key, kEven, sizeof key);
      // The refused part: the prefix and any four bytes after it.
      std::memcpy(key + 8 * part, prefix.data(), 4);
      Bytes tail = rng.NextBytes(4);
      std::memcpy(key + 8 * part + 4, tail.data(), 4);

      TripleDesContext ctx;
      std::memset(&ctx, 0xA5, sizeof ctx);
      EXPECT_EQ(CIPHER_E_KEY, TripleDesSetKey(key, 24, &ctx));
      // Earlier parts and the refused one stay adjusted; later ones untouched.
      for (int i = 0; i < 24; ++i) {
        if (i < 8 * (part + 1)) {
          EXPECT_EQ(1, __builtin_popcount(key[i]) % 2) << "byte " << i;
        } else {
          EXPECT_EQ(kEven, key[i]) << "byte " << i;
        }
      }
      // The refused part's schedule and the later ones are left unbuilt.
      TripleDesContext untouched;
      std::memset(&untouched, 0xA5, sizeof untouched);
      for (int s = 0; s < 3; ++s) {
        const bool same =
            std::memcmp(ctx.schedule[s], untouched.schedule[s], sizeof ctx.schedule[s]) == 0;
        EXPECT_EQ(s >= part, same) << "schedule " << s;
      }
    }
  }
}

TEST(TripleDesSetKey, ComparesOnlyTheFourBytePrefixAfterAdjustment) {
  struct {
    const char *part;
    bool refused;
  } cases[] = {
      {"0000000000000000", true},   // becomes 0101010101010101
      {"1f1f1f1f0e0e0e0e", true},   // the weak key itself
      {"1f1f1f1f12345678", true},   // any tail after a weak prefix
      {"1e1f1f1f0e0e0e0e", true},   // 1e is adjusted to 1f first
      {"1f1f1f1c0e0e0e0e", false},  // 1c already odd: no prefix matches
      {"0101010201010101", false}, {"e0fee0fe00000000", true}, {"fee0fee3f1fef1fe", false},
  };
  for (const auto &c : cases) {
    Bytes part;
    ASSERT_TRUE(test::DecodeHex(c.part, &part));
    Bytes key(24, 0x23);  // 0x23 has odd parity and is no weak prefix
    std::memcpy(key.data(), part.data(), 8);
    TripleDesContext ctx;
    EXPECT_EQ(c.refused ? CIPHER_E_KEY : 0, TripleDesSetKey(key.data(), 24, &ctx)) << c.part;
  }
  // 00..00 in part 1 is refused and the caller's buffer holds 01..01.
  uint8_t zero_key[16] = {0};
  TripleDesContext ctx;
  EXPECT_EQ(CIPHER_E_KEY, TripleDesSetKey(zero_key, 16, &ctx));
  EXPECT_EQ("0101010101010101", Hex(zero_key, 8));
  EXPECT_EQ("0000000000000000", Hex(zero_key + 8, 8));
}

TEST(TripleDesSetKey, SixteenByteKeyEqualsTwentyFourWithFirstPartRepeated) {
  TestRandom rng(3);
  for (Mode mode : {Mode::kEcb, Mode::kCbc, Mode::kCfb, Mode::kOfb}) {
    TripleDesContext ctx16, ctx24;
    Bytes key16 = GoodKey(rng, 16, &ctx16);
    // Bytes past 16 are never read for a 16-byte key.
    Bytes key24 = key16;
    key24.insert(key24.end(), key16.begin(), key16.begin() + 8);
    ASSERT_EQ(0, TripleDesSetKey(key24.data(), 24, &ctx24));
    Bytes data = rng.NextBytes(64);
    EXPECT_EQ(Hex(RunOnce(mode, true, ctx24, {}, data)), Hex(RunOnce(mode, true, ctx16, {}, data)))
        << ModeName(mode);
  }
}

// --- Length errors and vectors ----------------------------------------------

TEST(TripleDesBlockModes, RefuseLengthsNotMultipleOfEightLeavingEverythingAlone) {
  TestRandom rng(4);
  TripleDesContext ctx;
  GoodKey(rng, 24, &ctx);
  for (Mode mode : {Mode::kEcb, Mode::kCbc}) {
    for (bool encrypt : {true, false}) {
      for (int32_t len : {1, 7, 9, 13, 15, 17, 63}) {
        Bytes data = rng.NextBytes(64);
        const Bytes data_before = data;
        uint8_t vector[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        int32_t position = 0;
        EXPECT_EQ(CIPHER_E_LENGTH, RunMode(mode, encrypt, ctx, vector, &position, data.data(), len))
            << ModeName(mode) << " length " << len;
        EXPECT_EQ(Hex(data_before), Hex(data));
        EXPECT_EQ("0102030405060708", Hex(vector, 8));
      }
      // Zero bytes is a whole number of blocks: success, nothing changes.
      uint8_t vector[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      int32_t position = 0;
      uint8_t byte = 0x5A;
      EXPECT_EQ(0, RunMode(mode, encrypt, ctx, vector, &position, &byte, 0));
      EXPECT_EQ(0x5A, byte);
      EXPECT_EQ("0102030405060708", Hex(vector, 8));
    }
  }
}

TEST(TripleDesBlockModes, CbcWithZeroVectorOverOneBlockEqualsEcb) {
  TestRandom rng(5);
  TripleDesContext ctx;
  GoodKey(rng, 24, &ctx);
  const Bytes block = rng.NextBytes(8);
  EXPECT_EQ(Hex(RunOnce(Mode::kEcb, true, ctx, {}, block)),
            Hex(RunOnce(Mode::kCbc, true, ctx, Bytes(8, 0), block)));
}

TEST(TripleDesBlockModes, CbcVectorCarriesTheChainAcrossCalls) {
  TestRandom rng(6);
  TripleDesContext ctx;
  GoodKey(rng, 24, &ctx);
  const Bytes plain = rng.NextBytes(48);
  for (bool encrypt : {true, false}) {
    const Bytes whole = RunOnce(Mode::kCbc, encrypt, ctx, {}, plain);
    for (int32_t split = 0; split <= 48; split += 8) {
      Bytes data = plain;
      uint8_t vector[8] = {0};
      ASSERT_EQ(0, encrypt ? TripleDesCbcEncrypt(&ctx, vector, data.data(), split)
                           : TripleDesCbcDecrypt(&ctx, vector, data.data(), split));
      ASSERT_EQ(0, encrypt ? TripleDesCbcEncrypt(&ctx, vector, data.data() + split, 48 - split)
                           : TripleDesCbcDecrypt(&ctx, vector, data.data() + split, 48 - split));
      EXPECT_EQ(Hex(whole), Hex(data)) << "split at " << split;
      // The vector ends as the last ciphertext block.
      const uint8_t *last = encrypt ? data.data() + 40 : plain.data() + 40;
      EXPECT_EQ(Hex(last, 8), Hex(vector, 8));
    }
  }
}

// --- Stream modes: position and continuation --------------------------------

struct StreamCase {
  Mode mode;
  bool encrypt;
};

class TripleDesStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(TripleDesStreamTest, PositionCountsUsedKeystreamBytes) {
  const StreamCase c = GetParam();
  TestRandom rng(7);
  TripleDesContext ctx;
  GoodKey(rng, 24, &ctx);
  struct {
    int32_t len, position;
  } cases[] = {{0, 0}, {1, 1}, {7, 7}, {8, 0}, {13, 5}, {16, 0}, {17, 1}, {100, 4}};
  for (const auto &lc : cases) {
    Bytes data = rng.NextBytes(static_cast<size_t>(lc.len));
    uint8_t vector[8] = {0};
    int32_t position = 0;
    EXPECT_EQ(0, RunMode(c.mode, c.encrypt, ctx, vector, &position, data.data(), lc.len));
    EXPECT_EQ(lc.position, position) << "length " << lc.len;
  }
  // A position of 8 on entry means nothing pending, like 0.
  const Bytes plain = rng.NextBytes(21);
  uint8_t v0[8] = {9, 8, 7, 6, 5, 4, 3, 2}, v8[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  int32_t p0 = 0, p8 = 8;
  Bytes d0 = plain, d8 = plain;
  RunMode(c.mode, c.encrypt, ctx, v0, &p0, d0.data(), 21);
  RunMode(c.mode, c.encrypt, ctx, v8, &p8, d8.data(), 21);
  EXPECT_EQ(Hex(d0), Hex(d8));
  EXPECT_EQ(p0, p8);
}

TEST_P(TripleDesStreamTest, ContinuingAcrossCallsEqualsOneCall) {
  const StreamCase c = GetParam();
  TestRandom rng(8);
  TripleDesContext ctx;
  GoodKey(rng, 24, &ctx);
  const Bytes plain = rng.NextBytes(45);
  const Bytes whole = RunOnce(c.mode, c.encrypt, ctx, {}, plain);
  // Every two-way split, then random pieces of 0 to 11 bytes.
  for (int32_t split = 0; split <= 45; ++split) {
    Bytes data = plain;
    uint8_t vector[8] = {0};
    int32_t position = 0;
    RunMode(c.mode, c.encrypt, ctx, vector, &position, data.data(), split);
    RunMode(c.mode, c.encrypt, ctx, vector, &position, data.data() + split, 45 - split);
    ASSERT_EQ(Hex(whole), Hex(data)) << "split at " << split;
    EXPECT_EQ(45 % 8, position);
  }
  for (int trial = 0; trial < 50; ++trial) {
    Bytes data = plain;
    uint8_t vector[8] = {0};
    int32_t position = 0;
    int32_t done = 0;
    while (done < 45) {
      int32_t piece = static_cast<int32_t>(rng.Below(12));
      if (piece > 45 - done) piece = 45 - done;
      RunMode(c.mode, c.encrypt, ctx, vector, &position, data.data() + done, piece);
      done += piece;
    }
    ASSERT_EQ(Hex(whole), Hex(data)) << "trial " << trial;
  }
}

TEST_P(TripleDesStreamTest, InverseRestoresTheData) {
  const StreamCase c = GetParam();
  TestRandom rng(9);
  TripleDesContext ctx;
  GoodKey(rng, 16, &ctx);
  for (size_t n : {0, 1, 5, 8, 13, 31, 64, 257}) {
    const Bytes plain = rng.NextBytes(n);
    const Bytes once = RunOnce(c.mode, c.encrypt, ctx, {}, plain);
    // OFB is its own inverse; CFB decryption inverts CFB encryption.
    const bool back = c.mode == Mode::kOfb ? c.encrypt : !c.encrypt;
    EXPECT_EQ(Hex(plain), Hex(RunOnce(c.mode, back, ctx, {}, once))) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TripleDesStreamTest,
                         ::testing::Values(StreamCase{Mode::kCfb, true},
                                           StreamCase{Mode::kCfb, false},
                                           StreamCase{Mode::kOfb, true}),
                         [](const auto &param_info) {
                           return std::string(param_info.param.mode == Mode::kCfb ? "Cfb" : "Ofb") +
                                  (param_info.param.encrypt ? "Encrypt" : "Decrypt");
                         });

}  // namespace
}  // namespace obkey

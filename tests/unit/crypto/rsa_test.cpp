#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rsa_public.h"
#include "test_util.h"

namespace obkey {
namespace {

using test::Bytes;
using test::Hex;
using test::TestRandom;

// --- Keys from OpenSSL ---------------------------------------------------------

struct TestKey {
  EVP_PKEY *pkey = nullptr;
  RsaPublicKey record{};
  uint32_t k = 0;  // modulus length in bytes
};

// One key per size for the whole program: generation is the slow part.
struct KeyCache {
  std::map<uint32_t, TestKey> keys;
  ~KeyCache() {
    for (auto &entry : keys) EVP_PKEY_free(entry.second.pkey);
  }
};

const TestKey &KeyOfBits(uint32_t bits) {
  static KeyCache cache;
  auto &keys = cache.keys;
  auto it = keys.find(bits);
  if (it != keys.end()) return it->second;
  TestKey key;
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
  EVP_PKEY_keygen_init(ctx);
  EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits));
  EVP_PKEY_keygen(ctx, &key.pkey);
  EVP_PKEY_CTX_free(ctx);

  const RSA *rsa = EVP_PKEY_get0_RSA(key.pkey);
  const BIGNUM *n = nullptr, *e = nullptr;
  RSA_get0_key(rsa, &n, &e, nullptr);
  key.record.bits = static_cast<uint32_t>(BN_num_bits(n));
  BN_bn2binpad(n, key.record.modulus, sizeof key.record.modulus);
  BN_bn2binpad(e, key.record.exponent, sizeof key.record.exponent);
  key.k = (key.record.bits + 7) / 8;
  return keys.emplace(bits, key).first->second;
}

// A seeded source, the way a caller makes one from its own random bytes.
RandomSource SeededSource(uint32_t seed) {
  RandomSource random;
  RandomInit(&random);
  TestRandom rng(seed);
  const Bytes bytes = rng.NextBytes(RANDOM_BYTES_NEEDED);
  RandomUpdate(&random, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return random;
}

// The padded block recovered with OpenSSL's raw private operation.
Bytes RawDecrypt(const TestKey &key, const Bytes &cipher) {
  Bytes out(key.k);
  const int n = RSA_private_decrypt(static_cast<int>(cipher.size()), cipher.data(), out.data(),
                                    const_cast<RSA *>(EVP_PKEY_get0_RSA(key.pkey)), RSA_NO_PADDING);
  EXPECT_EQ(static_cast<int>(key.k), n);
  return out;
}

Bytes Pkcs1Decrypt(const TestKey &key, const Bytes &cipher) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key.pkey, nullptr);
  EVP_PKEY_decrypt_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  Bytes out(key.k);
  size_t len = out.size();
  EXPECT_EQ(1, EVP_PKEY_decrypt(ctx, out.data(), &len, cipher.data(), cipher.size()));
  EVP_PKEY_CTX_free(ctx);
  out.resize(len);
  return out;
}

Bytes RawPublic(const TestKey &key, const Bytes &block) {
  Bytes out(key.k);
  const int n = RSA_public_encrypt(static_cast<int>(block.size()), block.data(), out.data(),
                                   const_cast<RSA *>(EVP_PKEY_get0_RSA(key.pkey)), RSA_NO_PADDING);
  EXPECT_EQ(static_cast<int>(key.k), n);
  return out;
}

// --- Encryption under OpenSSL keys ------------------------------------------------

class RsaPublicEncryptTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RsaPublicEncryptTest, OpenSslDecryptsAndFindsAWellFormedBlock) {
  const TestKey &key = KeyOfBits(GetParam());
  RandomSource random = SeededSource(GetParam());
  TestRandom rng(31);
  for (uint32_t len : {0u, 1u, 16u, 24u, key.k / 2, key.k - 11}) {
    SCOPED_TRACE("input length " + std::to_string(len));
    const Bytes input = rng.NextBytes(len);
    Bytes cipher(key.k + 4, 0xCC);
    uint32_t cipher_len = 0;
    ASSERT_EQ(
        0, RsaPublicEncrypt(cipher.data(), &cipher_len, input.data(), len, &key.record, &random));
    ASSERT_EQ(key.k, cipher_len);
    EXPECT_EQ("cccccccc", Hex(cipher.data() + key.k, 4));
    cipher.resize(key.k);

    EXPECT_EQ(Hex(input), Hex(Pkcs1Decrypt(key, cipher)));
    const Bytes block = RawDecrypt(key, cipher);
    EXPECT_EQ(0x00, block[0]);
    EXPECT_EQ(0x02, block[1]);
    const size_t separator = key.k - len - 1;
    for (size_t i = 2; i < separator; ++i) ASSERT_NE(0, block[i]) << "padding byte " << i;
    EXPECT_EQ(0x00, block[separator]);
  }
}

TEST_P(RsaPublicEncryptTest, RefusesInputLongerThanTheModulusAllows) {
  const TestKey &key = KeyOfBits(GetParam());
  RandomSource random = SeededSource(1);
  const Bytes input(key.k, 0x42);
  Bytes out(256, 0xCC);
  uint32_t out_len = 0xABCD;
  EXPECT_EQ(0,
            RsaPublicEncrypt(out.data(), &out_len, input.data(), key.k - 11, &key.record, &random));
  out.assign(256, 0xCC);
  out_len = 0xABCD;
  for (uint32_t len : {key.k - 10, key.k, 0xFFFFFFFFu, 0xFFFFFFF5u}) {
    EXPECT_EQ(CRYPTO_E_LEN,
              RsaPublicEncrypt(out.data(), &out_len, input.data(), len, &key.record, &random))
        << len;
  }
  EXPECT_EQ(0xABCDu, out_len);
  EXPECT_EQ(Hex(Bytes(256, 0xCC)), Hex(out));
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RsaPublicEncryptTest, ::testing::Values(1023u, 1024u, 2048u));

TEST(RsaPublicEncrypt, LengthLimitsFollowTheBitCount) {
  struct {
    uint32_t bits, accepted;
  } cases[] = {{1024, 117}, {2048, 245}, {1023, 117}, {1025, 118}, {100, 2}};
  for (const auto &c : cases) {
    // Only the length test matters here: a modulus of all ones takes any block.
    RsaPublicKey key{};
    key.bits = c.bits;
    const uint32_t k = (c.bits + 7) / 8;
    std::memset(key.modulus + 256 - k, 0xFF, k);
    key.exponent[255] = 3;
    RandomSource random = SeededSource(2);
    const Bytes input(300, 0x01);
    Bytes out(256);
    uint32_t out_len = 0;
    EXPECT_EQ(0, RsaPublicEncrypt(out.data(), &out_len, input.data(), c.accepted, &key, &random))
        << c.bits;
    EXPECT_EQ(k, out_len);
    EXPECT_EQ(CRYPTO_E_LEN,
              RsaPublicEncrypt(out.data(), &out_len, input.data(), c.accepted + 1, &key, &random))
        << c.bits;
  }
}

TEST(RsaPublicEncrypt, UnseededSourceWritesNothing) {
  const TestKey &key = KeyOfBits(1024);
  RandomSource random;
  RandomInit(&random);  // still needs 256 seed bytes
  const Bytes input(20, 0x42);
  Bytes out(key.k, 0xCC);
  uint32_t out_len = 0xABCD;
  EXPECT_EQ(CRYPTO_E_NEED_RANDOM,
            RsaPublicEncrypt(out.data(), &out_len, input.data(), 20, &key.record, &random));
  EXPECT_EQ(0xABCDu, out_len);
  EXPECT_EQ(Hex(Bytes(key.k, 0xCC)), Hex(out));

  // A record filled with raw random bytes refuses unless its count is zero.
  std::memset(&random, 0x9C, sizeof random);
  EXPECT_EQ(CRYPTO_E_NEED_RANDOM,
            RsaPublicEncrypt(out.data(), &out_len, input.data(), 20, &key.record, &random));
  EXPECT_EQ(Hex(Bytes(key.k, 0xCC)), Hex(out));
}

TEST(RsaPublicEncrypt, ZeroDrawsAreDrawnAgain) {
  const TestKey &key = KeyOfBits(1024);
  // Pending output with zeros in it: the padding takes its nonzero bytes, in
  // order, then carries on with fresh output.
  RandomSource random{};
  random.bytes_needed = 0;
  random.output_available = 16;
  const uint8_t pending[16] = {0, 0x11, 0, 0, 0x22, 0x33, 0, 0x44, 0, 0, 0, 0x55, 0, 0x66, 0, 0};
  std::memcpy(random.output, pending, 16);
  const Bytes input(100, 0x42);
  Bytes cipher(key.k);
  uint32_t cipher_len = 0;
  ASSERT_EQ(0,
            RsaPublicEncrypt(cipher.data(), &cipher_len, input.data(), 100, &key.record, &random));
  const Bytes block = RawDecrypt(key, cipher);
  EXPECT_EQ("0002112233445566", Hex(block.data(), 8));
  for (size_t i = 2; i < key.k - 101; ++i) ASSERT_NE(0, block[i]) << i;
}

TEST(RsaPublicEncrypt, OversizedBitCountIsRefusedBeforeReadingPastTheRecord) {
  // Kept on the heap on its own so that a read past the record is caught by
  // the address sanitizer.
  auto key = std::make_unique<RsaPublicKey>();
  std::memset(key->modulus, 0xFF, sizeof key->modulus);
  key->exponent[255] = 3;
  RandomSource random = SeededSource(3);
  Bytes out(600, 0xCC);
  uint32_t out_len = 0xABCD;
  const Bytes input(16, 1);
  for (uint32_t bits : {2049u, 4096u, 0xFFFFFFFFu}) {
    key->bits = bits;
    EXPECT_EQ(CRYPTO_E_LEN,
              RsaPublicEncrypt(out.data(), &out_len, input.data(), 16, key.get(), &random))
        << bits;
    EXPECT_EQ(CRYPTO_E_LEN, RsaPublicBlock(out.data(), &out_len, input.data(), 16, key.get()))
        << bits;
  }
  EXPECT_EQ(0xABCDu, out_len);
  EXPECT_EQ(Hex(Bytes(600, 0xCC)), Hex(out));
}

// --- The raw public operation -----------------------------------------------------

TEST(RsaPublicBlock, AgreesWithOpenSslRawPublicOperation) {
  TestRandom rng(32);
  for (uint32_t bits : {1024u, 2048u}) {
    const TestKey &key = KeyOfBits(bits);
    for (int trial = 0; trial < 10; ++trial) {
      Bytes block = rng.NextBytes(key.k);
      block[0] &= 0x7F;  // below the modulus
      Bytes out(key.k);
      uint32_t out_len = 0;
      ASSERT_EQ(0, RsaPublicBlock(out.data(), &out_len, block.data(), key.k, &key.record));
      EXPECT_EQ(key.k, out_len);
      EXPECT_EQ(Hex(RawPublic(key, block)), Hex(out));
    }
  }
}

TEST(RsaPublicBlock, ResultWithLeadingZeroBytesKeepsTheFullLength) {
  const TestKey &key = KeyOfBits(1024);
  TestRandom rng(33);
  for (int trial = 0; trial < 20000; ++trial) {
    Bytes block = rng.NextBytes(key.k);
    block[0] &= 0x3F;
    Bytes out(key.k, 0xCC);
    uint32_t out_len = 0;
    ASSERT_EQ(0, RsaPublicBlock(out.data(), &out_len, block.data(), key.k, &key.record));
    if (out[0] != 0) continue;
    EXPECT_EQ(key.k, out_len);
    EXPECT_EQ(Hex(RawPublic(key, block)), Hex(out));
    return;
  }
  FAIL() << "no result with a leading zero byte found";
}

TEST(RsaPublicBlock, BlockNotBelowTheModulusIsRefused) {
  const TestKey &key = KeyOfBits(1024);
  Bytes out(key.k, 0xCC);
  uint32_t out_len = 0xABCD;
  // The modulus itself, and the modulus plus one.
  Bytes block(key.record.modulus + 256 - key.k, key.record.modulus + 256);
  EXPECT_EQ(CRYPTO_E_DATA, RsaPublicBlock(out.data(), &out_len, block.data(), key.k, &key.record));
  // Add one with carry: a modulus may end in 0xFF.
  for (size_t i = key.k; i-- > 0 && ++block[i] == 0;) {
  }
  EXPECT_EQ(CRYPTO_E_DATA, RsaPublicBlock(out.data(), &out_len, block.data(), key.k, &key.record));

  // An all-zero modulus refuses every block, the empty one included.
  RsaPublicKey zero{};
  zero.bits = 1024;
  zero.exponent[255] = 3;
  const Bytes small(128, 0);
  EXPECT_EQ(CRYPTO_E_DATA, RsaPublicBlock(out.data(), &out_len, small.data(), 128, &zero));
  RandomSource random = SeededSource(4);
  EXPECT_EQ(CRYPTO_E_DATA, RsaPublicEncrypt(out.data(), &out_len, small.data(), 0, &zero, &random));
  EXPECT_EQ(0xABCDu, out_len);
  EXPECT_EQ(Hex(Bytes(key.k, 0xCC)), Hex(out));
}

// --- The random source ------------------------------------------------------------

Bytes Md5(const uint8_t *p, size_t len) {
  Bytes out(16);
  unsigned n = 0;
  EVP_Digest(p, len, out.data(), &n, EVP_md5(), nullptr);
  return out;
}

TEST(RandomGenerateBytes, TakesPendingOutputFromTheFront) {
  RandomSource random{};
  for (int i = 0; i < 16; ++i) random.output[i] = static_cast<uint8_t>(0xA0 + i);
  random.output_available = 5;
  uint8_t byte = 0;
  ASSERT_EQ(0, RandomGenerateBytes(&byte, 1, &random));
  EXPECT_EQ(0xAB, byte);  // output[11]
  EXPECT_EQ(4u, random.output_available);
  ASSERT_EQ(0, RandomGenerateBytes(&byte, 1, &random));
  EXPECT_EQ(0xAC, byte);
}

TEST(RandomGenerateBytes, RefusesWhileSeedBytesAreNeeded) {
  RandomSource random{};
  random.bytes_needed = 1;
  random.output_available = 16;
  const RandomSource before = random;
  uint8_t block[8];
  std::memset(block, 0xCC, sizeof block);
  EXPECT_EQ(CRYPTO_E_NEED_RANDOM, RandomGenerateBytes(block, 8, &random));
  EXPECT_EQ("cccccccccccccccc", Hex(block, 8));
  EXPECT_EQ(0, std::memcmp(&before, &random, sizeof random));
}

TEST(RandomGenerateBytes, NewOutputIsMd5OfStateAndTheStateAdvances) {
  struct {
    const char *state, *advanced;
  } cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "000102030405060708090a0b0c0d0e10"},
      {"000102030405060708090a0b0c0d0eff", "000102030405060708090a0b0c0d0e00"},
      {"000102030405060708090a0b0c0d0500", "000102030405060708090a0b0c0d0601"},
      {"00010203040506070809000000000000", "0001020304050607080a010101010101"},
      {"00000000000000000000000000000000", "01010101010101010101010101010101"},
  };
  for (const auto &c : cases) {
    RandomSource random{};
    const Bytes state = test::FromHex(c.state);
    std::memcpy(random.state, state.data(), 16);
    random.output_available = 2;
    random.output[14] = 0x77;
    random.output[15] = 0x88;
    uint8_t block[5];
    ASSERT_EQ(0, RandomGenerateBytes(block, 5, &random));
    const Bytes md5 = Md5(state.data(), 16);
    EXPECT_EQ("7788" + Hex(md5.data(), 3), Hex(block, 5)) << c.state;
    EXPECT_EQ(Hex(md5), Hex(random.output, 16));
    EXPECT_EQ(13u, random.output_available);
    EXPECT_EQ(c.advanced, Hex(random.state, 16)) << c.state;
  }
}

TEST(RandomGenerateBytes, LongDrawsChainBlocksAndMatchShortDraws) {
  RandomSource a = SeededSource(5), b = SeededSource(5);
  uint8_t long_draw[100];
  ASSERT_EQ(0, RandomGenerateBytes(long_draw, 100, &a));
  uint8_t short_draws[100];
  for (int i = 0; i < 100; i += 7) {
    ASSERT_EQ(0, RandomGenerateBytes(short_draws + i, i + 7 <= 100 ? 7 : 100 - i, &b));
  }
  EXPECT_EQ(Hex(long_draw, 100), Hex(short_draws, 100));
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
}

TEST(RandomSeeding, InitUpdateFinal) {
  RandomSource random;
  std::memset(&random, 0x9C, sizeof random);
  RandomInit(&random);
  EXPECT_EQ(256u, random.bytes_needed);
  EXPECT_EQ(Hex(Bytes(16, 0)), Hex(random.state, 16));
  EXPECT_EQ(0u, random.output_available);

  TestRandom rng(6);
  const Bytes seed1 = rng.NextBytes(100), seed2 = rng.NextBytes(200);
  RandomUpdate(&random, seed1.data(), 100);
  EXPECT_EQ(156u, random.bytes_needed);
  EXPECT_EQ(Hex(Md5(seed1.data(), 100)), Hex(random.state, 16));
  uint8_t byte;
  EXPECT_EQ(CRYPTO_E_NEED_RANDOM, RandomGenerateBytes(&byte, 1, &random));

  RandomUpdate(&random, seed2.data(), 200);
  EXPECT_EQ(0u, random.bytes_needed);
  // The digests add up as 128-bit big-endian numbers, modulo 2^128.
  Bytes d1 = Md5(seed1.data(), 100), d2 = Md5(seed2.data(), 200);
  BIGNUM *x = BN_bin2bn(d1.data(), 16, nullptr), *y = BN_bin2bn(d2.data(), 16, nullptr);
  BN_add(x, x, y);
  BN_mask_bits(x, 128);
  Bytes sum(16);
  BN_bn2binpad(x, sum.data(), 16);
  BN_free(x);
  BN_free(y);
  EXPECT_EQ(Hex(sum), Hex(random.state, 16));
  EXPECT_EQ(0, RandomGenerateBytes(&byte, 1, &random));

  RandomFinal(&random);
  EXPECT_EQ(Hex(Bytes(40, 0)), Hex(reinterpret_cast<uint8_t *>(&random), 40));
}

}  // namespace
}  // namespace obkey

// Several threads importing, using and destroying their own symmetric keys at
// once: every key still round-trips and the shared key table records every
// import exactly once (an unguarded table loses entries or frees storage
// another thread is writing, which the sanitizer builds report).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "key_table.h"
#include "obkey.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kThreads = 4;
constexpr int kRoundsPerThread = 20000;

struct CipherChoice {
  uint32_t alg_id;
  uint32_t mode;
  uint32_t key_len;
};

// Triple DES in each of its modes, and RC4.
const CipherChoice kCiphers[] = {
    {CALG_3DES, 1, 24}, {CALG_3DES, 2, 16}, {CALG_3DES, 3, 24},
    {CALG_3DES, 4, 16}, {CALG_RC4, 0, 5},
};

// One thread's work; returns the number of rounds that went wrong.
int ImportUseDestroy(int thread) {
  int failures = 0;
  uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(thread + 1);
  for (int round = 0; round < kRoundsPerThread; ++round) {
    const CipherChoice &cipher = kCiphers[round % (sizeof(kCiphers) / sizeof(kCiphers[0]))];
    Bytes blob(OB_KEY_BLOB_HEADER_LEN + cipher.key_len);
    for (uint8_t &byte : blob) {
      seed = seed * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(seed >> 16);
    }
    DataBlob blob_record{static_cast<uint32_t>(blob.size()), blob.data()};
    Bytes key_bytes(cipher.key_len);
    DataBlob key{0, key_bytes.data()};
    Bytes plain(16, static_cast<uint8_t>(round)), sealed(16), opened(16);
    uint32_t sealed_len = 16, opened_len = 16;
    bool ok = OB_ImportSymmetricKey(&blob_record, cipher.alg_id, &key) == 0 &&
              OB_SymmetricEncrypt(&key, 0, 0, plain.data(), 16, sealed.data(), &sealed_len,
                                  cipher.alg_id, cipher.mode) == 0 &&
              OB_SymmetryDecrypt(&key, 0, 0, sealed.data(), 16, opened.data(), &opened_len,
                                 cipher.alg_id, cipher.mode) == 0 &&
              opened == plain && sealed != plain && OB_DestroyKey(&key) == 0;
    if (!ok) ++failures;
  }
  return failures;
}

TEST(SymmetricKeyThreadsTest, ImportEncryptDecryptDestroyOnFourThreads) {
  const size_t before = obkey::TheSymmetricKeyTable().size();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] { failures += ImportUseDestroy(t); });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(obkey::TheSymmetricKeyTable().size() - before,
            static_cast<size_t>(kThreads) * kRoundsPerThread);
}

}  // namespace

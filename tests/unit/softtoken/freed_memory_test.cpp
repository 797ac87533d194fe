// No freed heap block holds a key's secret parts after the token's calls:
// every allocation of this program (operator new and OpenSSL's allocator)
// goes through hooks that, while armed, keep a copy of each block as it is
// freed; the copies are then searched for the key's primes and private
// exponent, in both byte orders (OpenSSL keeps numbers as little-endian
// words).
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "key_seal.h"
#include "pin.h"
#include "rsa_blobs.h"
#include "rsa_test_keys.h"
#include "store_format.h"
#include "token_fixture.h"

namespace {

// The copies live in plain malloc'd memory, outside the hooks.
struct FreedBlock {
  uint8_t *bytes;
  size_t len;
};
constexpr size_t kMaxFreed = 1 << 18;
FreedBlock *freed_blocks = nullptr;
std::atomic<size_t> freed_count{0};
std::atomic<bool> armed{false};

void RecordFree(void *p) {
  if (p == nullptr || !armed.load(std::memory_order_relaxed)) return;
  size_t len = malloc_usable_size(p);
  if (len < 32) return;
  size_t slot = freed_count.fetch_add(1);
  if (slot >= kMaxFreed) return;
  auto *copy = static_cast<uint8_t *>(std::malloc(len));
  if (copy == nullptr) return;
  std::memcpy(copy, p, len);
  freed_blocks[slot] = FreedBlock{copy, len};
}

void *HookMalloc(size_t n, const char *, int) {
  return std::malloc(n);
}
void *HookRealloc(void *p, size_t n, const char *, int) {
  // A moved block is a freed block: copy by hand so the old one is seen.
  if (p == nullptr) return std::malloc(n);
  void *moved = std::malloc(n == 0 ? 1 : n);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, p, std::min(n, malloc_usable_size(p)));
  RecordFree(p);
  std::free(p);
  return moved;
}
void HookFree(void *p, const char *, int) {
  RecordFree(p);
  std::free(p);
}

void StartRecording() {
  for (size_t i = 0; i < std::min<size_t>(freed_count, kMaxFreed); ++i) {
    std::free(freed_blocks[i].bytes);
  }
  freed_count = 0;
  armed = true;
}

bool Contains(const FreedBlock &block, const std::vector<uint8_t> &needle) {
  return std::search(block.bytes, block.bytes + block.len, needle.begin(), needle.end()) !=
         block.bytes + block.len;
}

// FreedBlocksHolding stops recording and counts the freed blocks that held
// any of `secrets`, whole, in either byte order.
size_t FreedBlocksHolding(const std::vector<std::vector<uint8_t>> &secrets) {
  armed = false;
  // Blocks freed past the cap went unsearched, so the search saw too little.
  EXPECT_LE(freed_count.load(), kMaxFreed) << "raise kMaxFreed";
  size_t hits = 0;
  const size_t count = std::min<size_t>(freed_count, kMaxFreed);
  for (size_t i = 0; i < count; ++i) {
    for (std::vector<uint8_t> secret : secrets) {
      bool found = Contains(freed_blocks[i], secret);
      std::reverse(secret.begin(), secret.end());
      if (found || Contains(freed_blocks[i], secret)) {
        ++hits;
        break;
      }
    }
  }
  return hits;
}

}  // namespace

void *operator new(size_t n) {
  void *p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t n) {
  return operator new(n);
}
void operator delete(void *p) noexcept {
  RecordFree(p);
  std::free(p);
}
void operator delete[](void *p) noexcept {
  operator delete(p);
}
void operator delete(void *p, size_t) noexcept {
  operator delete(p);
}
void operator delete[](void *p, size_t) noexcept {
  operator delete(p);
}

namespace obkey::softtoken::testing {
namespace {

class FreedMemoryTest : public TokenTest {
 protected:
  // Secrets of a key: p, q and d, as OpenSSL gives them.
  static std::vector<std::vector<uint8_t>> SecretsOf(EVP_PKEY *key) {
    return {Part(key, OSSL_PKEY_PARAM_RSA_FACTOR1, 64), Part(key, OSSL_PKEY_PARAM_RSA_FACTOR2, 64),
            Part(key, OSSL_PKEY_PARAM_RSA_D, 128)};
  }
};

// The search finds a secret left in a block freed through either allocator.
TEST_F(FreedMemoryTest, ASecretLeftInAFreedBlockIsFound) {
  std::vector<uint8_t> secret(64);
  for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(0xA5 ^ i);
  const std::vector<std::vector<uint8_t>> secrets = {secret};
  StartRecording();
  // volatile: the compiler may not drop the allocation as unused.
  uint8_t *volatile by_new = new uint8_t[secret.size()];
  std::memcpy(by_new, secret.data(), secret.size());
  delete[] by_new;
  void *by_openssl = OPENSSL_malloc(secret.size());
  ASSERT_NE(by_openssl, nullptr);
  std::reverse_copy(secret.begin(), secret.end(), static_cast<uint8_t *>(by_openssl));
  OPENSSL_free(by_openssl);
  EXPECT_EQ(FreedBlocksHolding(secrets), 2u);
}

TEST_F(FreedMemoryTest, ImportSignAndFileWritesLeaveNoKeyInFreedMemory) {
  Pkey key = NewRsaKey(1024);
  const std::vector<uint8_t> loose = LooseRsaDer(key.get(), 1);
  const std::vector<std::vector<uint8_t>> secrets = SecretsOf(key.get());
  ASSERT_EQ(FreedBlocksHolding(secrets), 0u) << "the hooks see nothing yet";

  StartRecording();
  XcHandle session = LoggedInSession();
  XcHandle container = Container(session, "SIG");
  ASSERT_EQ(WriteRSAKey(container, 0, 0, loose.data(), static_cast<uint32_t>(loose.size()),
                        XC_KEY_SIGNATURE),
            0);
  uint8_t block[20] = {1, 2, 3};
  uint8_t signature[128];
  uint32_t len = sizeof(signature);
  ASSERT_EQ(RSASign(container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE), 0);
  Disconnect(session);
  // Signing with the committed key, and writes that rewrite the store.
  session = LoggedInSession();
  ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0);
  len = sizeof(signature);
  ASSERT_EQ(RSASign(container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE), 0);
  XcHandle file = 0;
  for (uint32_t number = 1; number <= 20; ++number) {
    ASSERT_EQ(CreateUserFile(session, number, 700, XC_USER_FILE_CREATE, &file), 0);
    ASSERT_EQ(WriteUserFile(file, block, sizeof(block)), 0);
  }
  Disconnect(session);
  ForgetAllParsedStores();
  EXPECT_EQ(FreedBlocksHolding(secrets), 0u);
}

TEST_F(FreedMemoryTest, KeyGenerationLeavesNoKeyInFreedMemory) {
  StartRecording();
  XcHandle session = LoggedInSession();
  XcHandle container = Container(session, "SIG");
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  Disconnect(session);
  ForgetAllParsedStores();
  armed = false;
  // The key is known only now: opened from the store with the login.
  TokenState stored;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
  const KeySlot &keys = stored.containers[XC_SLOT_SIGNATURE].keys[1];
  SecretBytes token_key;
  ASSERT_TRUE(LoginTokenKey(StorePath(), stored, &token_key));
  SecretBytes der;
  ASSERT_TRUE(
      OpenPrivateKey(token_key, XC_SLOT_SIGNATURE, 1, keys.public_key_der, keys.sealed_key, &der));
  const unsigned char *cursor = der.data();
  Pkey key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size())));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(FreedBlocksHolding(SecretsOf(key.get())), 0u);
}

// obkeyctl's import-key: a key laid out as a private-key blob. (OpenSSL's
// own readers of key files leave the key behind them, so the search starts
// at a key already read.)
TEST_F(FreedMemoryTest, PrivateKeyBlobLeavesNoKeyInFreedMemory) {
  Pkey key = NewRsaKey(1024);
  const std::vector<std::vector<uint8_t>> secrets = SecretsOf(key.get());
  StartRecording();
  {
    SecretBytes blob;
    ASSERT_TRUE(obkeyctl::KeyToPrivateBlob(key.get(), &blob));
  }
  EXPECT_EQ(FreedBlocksHolding(secrets), 0u);
}

}  // namespace
}  // namespace obkey::softtoken::testing

int main(int argc, char **argv) {
  // Before OpenSSL allocates anything.
  if (!CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree)) return 2;
  freed_blocks = static_cast<FreedBlock *>(std::calloc(kMaxFreed, sizeof(FreedBlock)));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

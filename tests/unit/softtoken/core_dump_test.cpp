// What a core dump of a process that used its keys would hold: a child
// process imports a key, generates one, signs and decrypts with both (in the
// session that made them and from the committed store), and then searches
// its own memory, every readable mapping a kernel dump would write (all but
// those marked MADV_DONTDUMP, "dd" in /proc/self/smaps), for each private
// number of both keys, big-endian and as OpenSSL's little-endian words.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

#include "key_seal.h"
#include "pin.h"
#include "rsa_der.h"
#include "rsa_test_keys.h"
#include "store_format.h"
#include "token_fixture.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OBKEY_TEST_SHADOW_MEMORY 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OBKEY_TEST_SHADOW_MEMORY 1
#endif

namespace obkey::softtoken::testing {
namespace {

// The private numbers of a key, in the RSAPrivateKey order after n and e.
constexpr const char *kNumberNames[] = {"d", "p", "q", "dP", "dQ", "qInv"};
constexpr size_t kNumbers = 6;
constexpr size_t kKeys = 2;  // the imported key, the generated one
constexpr size_t kMaxNumber = 129;
// Each number as its big-endian magnitude, then byte-reversed.
constexpr size_t kNeedles = kKeys * kNumbers * 2;
using Counts = std::array<uint32_t, kNeedles>;

// The needles and the read buffer live in memory that a dump leaves out,
// so the search does not find its own copies.
struct Needle {
  uint8_t bytes[kMaxNumber];
  size_t len;
};
constexpr size_t kChunk = 1 << 20;
struct SearchSpace {
  Needle needles[kNeedles];
  uint8_t chunk[kChunk + kMaxNumber];
};

SearchSpace *NewSearchSpace() {
  void *p = mmap(nullptr, sizeof(SearchSpace), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                 -1, 0);
  if (p == MAP_FAILED || madvise(p, sizeof(SearchSpace), MADV_DONTDUMP) != 0) return nullptr;
  return static_cast<SearchSpace *>(p);
}

bool WriteAll(int fd, const void *data, size_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void *data, size_t len) {
  auto *p = static_cast<uint8_t *>(data);
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

struct Region {
  uintptr_t start;
  uintptr_t end;
};

// DumpedRegions lists the readable mappings a kernel dump writes.
std::vector<Region> DumpedRegions() {
  std::ifstream smaps("/proc/self/smaps");
  std::vector<Region> regions;
  std::string line;
  Region current{};
  bool readable = false;
  while (std::getline(smaps, line)) {
    unsigned long start = 0;
    unsigned long end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3) {
      current = Region{start, end};
      readable = perms[0] == 'r';
    } else if (line.rfind("VmFlags:", 0) == 0 && readable &&
               (line + " ").find(" dd ") == std::string::npos) {
      regions.push_back(current);
    }
  }
  return regions;
}

// CountInDumpableMemory counts the places each needle starts in the
// dumped regions. A chunk keeps the tail of the one before, so a number
// across two reads is found, and counted once.
Counts CountInDumpableMemory(SearchSpace *space) {
  Counts counts{};
  const std::vector<Region> regions = DumpedRegions();
  int mem = open("/proc/self/mem", O_RDONLY);
  if (mem < 0) return counts;
  for (const Region &region : regions) {
    size_t carried = 0;
    for (uintptr_t at = region.start; at < region.end;) {
      const size_t want = std::min<uintptr_t>(kChunk, region.end - at);
      ssize_t n = pread(mem, space->chunk + carried, want, static_cast<off_t>(at));
      if (n <= 0) break;  // [vvar] and the like
      const size_t total = carried + static_cast<size_t>(n);
      for (size_t i = 0; i < kNeedles; ++i) {
        const Needle &needle = space->needles[i];
        const uint8_t *end = space->chunk + total;
        for (const uint8_t *hit = space->chunk;
             (hit = std::search(hit, end, needle.bytes, needle.bytes + needle.len)) != end; ++hit) {
          // A hit that ends in the carried tail was counted with its chunk.
          if (static_cast<size_t>(hit - space->chunk) + needle.len > carried) ++counts[i];
        }
      }
      carried = std::min<size_t>(total, kMaxNumber - 1);
      std::memmove(space->chunk, space->chunk + total - carried, carried);
      at += static_cast<uintptr_t>(n);
    }
  }
  close(mem);
  return counts;
}

// SetNeedles takes the private numbers of an RSAPrivateKey (`key` 0 or 1).
bool SetNeedles(const uint8_t *der, size_t der_len, size_t key, SearchSpace *space) {
  RsaKeyParts parts;
  if (!SplitRsaPrivateKeyDer(der, der_len, &parts)) return false;
  for (size_t i = 0; i < kNumbers; ++i) {
    RsaKeyPart part = parts[3 + i];
    while (part.len > 0 && part.data[0] == 0) ++part.data, --part.len;
    Needle &big = space->needles[(key * kNumbers + i) * 2];
    Needle &little = space->needles[(key * kNumbers + i) * 2 + 1];
    if (part.len == 0 || part.len > kMaxNumber) return false;
    big.len = little.len = part.len;
    std::memcpy(big.bytes, part.data, part.len);
    std::reverse_copy(part.data, part.data + part.len, little.bytes);
  }
  return true;
}

class CoreDumpTest : public TokenTest {
 protected:
  // UseKeys signs with the signature key of slot 0 and decrypts with the
  // exchange key of slot 1. Returns 0 or the first failing status.
  static int32_t UseKeys(XcHandle sig, XcHandle enc) {
    uint8_t block[20] = {1, 2, 3};
    uint8_t out[XC_RSA_BLOCK];
    uint8_t plain[XC_RSA_BLOCK];
    uint32_t len = sizeof(out);
    if (int32_t status = RSASign(sig, block, sizeof(block), out, &len, XC_KEY_SIGNATURE)) {
      return status;
    }
    len = sizeof(out);
    if (int32_t status = RSAEncrypt(enc, block, sizeof(block), out, &len, XC_KEY_EXCHANGE)) {
      return status;
    }
    len = sizeof(plain);
    return RSADecrypt(enc, out, sizeof(out), plain, &len, XC_KEY_EXCHANGE);
  }

  // TokenWork is the child's use of the token: import `der` as the exchange
  // pair of "ENC", generate the signature pair of "SIG", use both in that
  // session and again from the committed store. Returns 0 or the step that
  // failed.
  static int TokenWork(const SecretBytes &der) {
    XcHandle session = 0;
    XcHandle sig = 0;
    XcHandle enc = 0;
    if (ConnectEkey(0, &session) != 0 || Login(session) != 0) return 1;
    if (CreateContainer(session, "SIG", &sig, XC_CONTAINER_CREATE) != 0 ||
        CreateContainer(session, "ENC", &enc, XC_CONTAINER_CREATE) != 0) {
      return 2;
    }
    if (WriteRSAKey(enc, 0, 0, der.data(), static_cast<uint32_t>(der.size()), XC_KEY_EXCHANGE)) {
      return 3;
    }
    if (GenRSAKey(sig, XC_KEY_SIGNATURE) != 0) return 4;
    if (UseKeys(sig, enc) != 0) return 5;
    if (DisconnectEkey(session) != 0 || ConnectEkey(0, &session) != 0) return 6;
    if (SetCurContainer(session, XC_SLOT_SIGNATURE, &sig) != 0 ||
        SetCurContainer(session, XC_SLOT_EXCHANGE, &enc) != 0 || UseKeys(sig, enc) != 0) {
      return 7;
    }
    return DisconnectEkey(session) == 0 ? 0 : 8;
  }

  // Child runs in the forked process: it takes the key to import from
  // `in`, does the token work, reports its step, takes the needles from
  // `in` and reports their counts to `out`.
  [[noreturn]] static void Child(int in, int out) {
    int step = 9;
    {
      uint32_t len = 0;
      SecretBytes der;
      if (ReadAll(in, &len, sizeof(len)) && len <= kMaxPrivateKeyDer) {
        der.resize(len);
        step = ReadAll(in, der.data(), len) ? TokenWork(der) : 9;
      }
    }
    SearchSpace *space = NewSearchSpace();
    if (!WriteAll(out, &step, sizeof(step)) || space == nullptr ||
        !ReadAll(in, space->needles, sizeof(space->needles))) {
      _exit(1);
    }
    const Counts counts = CountInDumpableMemory(space);
    _exit(WriteAll(out, counts.data(), sizeof(counts)) ? 0 : 1);
  }

  // GeneratedKeyDer opens the key the child generated, with a login of
  // this process.
  SecretBytes GeneratedKeyDer() {
    XcHandle session = LoggedInSession();
    Disconnect(session);
    TokenState stored;
    EXPECT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
    const KeySlot &keys = stored.containers[XC_SLOT_SIGNATURE].keys[XC_KEY_SIGNATURE - 1];
    SecretBytes token_key;
    SecretBytes der;
    EXPECT_TRUE(LoginTokenKey(StorePath(), stored, &token_key));
    EXPECT_TRUE(OpenPrivateKey(token_key, XC_SLOT_SIGNATURE, XC_KEY_SIGNATURE - 1,
                               keys.public_key_der, keys.sealed_key, &der));
    return der;
  }
};

TEST_F(CoreDumpTest, NoPrivateNumberIsInDumpableMemoryAfterUse) {
#if defined(OBKEY_TEST_SHADOW_MEMORY)
  GTEST_SKIP() << "the sanitizer's shadow memory is too large to search";
#endif
  int to_child[2];
  int from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  // The child is forked before the key to import exists, so that it holds
  // only the copies the token makes.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) Child(to_child[0], from_child[1]);
  close(to_child[0]);
  close(from_child[1]);

  Pkey imported = NewRsaKey(1024);
  const std::vector<uint8_t> der = StrictDer(imported.get());
  const uint32_t der_len = static_cast<uint32_t>(der.size());
  ASSERT_TRUE(WriteAll(to_child[1], &der_len, sizeof(der_len)));
  ASSERT_TRUE(WriteAll(to_child[1], der.data(), der.size()));
  int step = -1;
  ASSERT_TRUE(ReadAll(from_child[0], &step, sizeof(step)));
  ASSERT_EQ(step, 0) << "the child's token work failed at step " << step;

  SearchSpace *space = NewSearchSpace();
  ASSERT_NE(space, nullptr);
  const SecretBytes generated = GeneratedKeyDer();
  ASSERT_TRUE(SetNeedles(der.data(), der.size(), 0, space));
  ASSERT_TRUE(SetNeedles(generated.data(), generated.size(), 1, space));
  ASSERT_TRUE(WriteAll(to_child[1], space->needles, sizeof(space->needles)));
  Counts counts{};
  ASSERT_TRUE(ReadAll(from_child[0], counts.data(), sizeof(counts)));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  munmap(space, sizeof(SearchSpace));
  close(to_child[1]);
  close(from_child[0]);

  std::ostringstream found;
  uint32_t total = 0;
  for (size_t key = 0; key < kKeys; ++key) {
    found << (key == 0 ? "imported:" : "; generated:");
    for (size_t i = 0; i < kNumbers; ++i) {
      const uint32_t big = counts[(key * kNumbers + i) * 2];
      const uint32_t little = counts[(key * kNumbers + i) * 2 + 1];
      found << " " << kNumberNames[i] << " " << big << "+" << little;
      total += big + little;
    }
  }
  RecordProperty("copies", found.str());
  EXPECT_EQ(total, 0u) << "copies (big-endian+little-endian) in dumpable memory: " << found.str();
}

}  // namespace
}  // namespace obkey::softtoken::testing

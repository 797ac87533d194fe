// What a core dump of a process that used its keys would hold: a child
// process imports a key, generates one, signs and decrypts with both (in the
// session that made them and from the committed store); the test then
// searches the child's memory, every readable mapping a kernel dump writes
// (all but those marked MADV_DONTDUMP, "dd" in smaps), for each private
// number of both keys, big-endian and as OpenSSL's little-endian words.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

constexpr const char *kNumberNames[] = {"d", "p", "q", "dP", "dQ", "qInv"};

// DumpedBytes reads every mapping of process `pid` that a kernel dump
// writes: readable and not marked to stay out of dumps.
std::vector<std::vector<uint8_t>> DumpedBytes(pid_t pid) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::ifstream mem("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
  std::vector<std::vector<uint8_t>> regions;
  std::string line;
  unsigned long start = 0, end = 0;
  char perms[5] = {};
  while (std::getline(smaps, line)) {
    // A field line may match the header's first number ("FilePmdMapped").
    unsigned long from = 0, to = 0;
    char mode[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, mode) == 3) {
      start = from, end = to;
      std::memcpy(perms, mode, sizeof(perms));
      continue;
    }
    if (line.rfind("VmFlags:", 0) != 0 || perms[0] != 'r' ||
        (line + " ").find(" dd ") != std::string::npos) {
      continue;
    }
    std::vector<uint8_t> bytes(end - start);
    mem.clear();
    mem.seekg(static_cast<std::streamoff>(start));
    // [vvar] and the like do not read.
    if (mem.read(reinterpret_cast<char *>(bytes.data()),
                 static_cast<std::streamsize>(end - start))) {
      regions.push_back(std::move(bytes));
    }
  }
  return regions;
}

size_t Count(const std::vector<std::vector<uint8_t>> &regions, const std::vector<uint8_t> &needle) {
  size_t count = 0;
  for (const auto &region : regions) {
    for (auto at = region.begin();
         (at = std::search(at, region.end(), needle.begin(), needle.end())) != region.end(); ++at) {
      ++count;
    }
  }
  return count;
}

// UseKeys signs with the signature pair of slot 0 and decrypts with the
// exchange pair of slot 1. Returns 0 or the first failing status.
int32_t UseKeys(XcHandle sig, XcHandle enc) {
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

// TokenWork is the child's use of the token: `der` imported as the exchange
// pair of "ENC", the signature pair of "SIG" generated, both used in that
// session and again from the committed store. Returns 0 or the failing step.
int TokenWork(const SecretBytes &der) {
  XcHandle session = 0, sig = 0, enc = 0;
  if (ConnectEkey(0, &session) != 0 ||
      VerifyPin(session, Bytes(kInitialUserPin), Len(kInitialUserPin), XC_PIN_USER) != 0 ||
      CreateContainer(session, "SIG", &sig, XC_CONTAINER_CREATE) != 0 ||
      CreateContainer(session, "ENC", &enc, XC_CONTAINER_CREATE) != 0) {
    return 1;
  }
  if (WriteRSAKey(enc, 0, 0, der.data(), static_cast<uint32_t>(der.size()), XC_KEY_EXCHANGE)) {
    return 2;
  }
  if (GenRSAKey(sig, XC_KEY_SIGNATURE) != 0) return 3;
  if (UseKeys(sig, enc) != 0) return 4;
  if (DisconnectEkey(session) != 0 || ConnectEkey(0, &session) != 0) return 5;
  if (SetCurContainer(session, XC_SLOT_SIGNATURE, &sig) != 0 ||
      SetCurContainer(session, XC_SLOT_EXCHANGE, &enc) != 0 || UseKeys(sig, enc) != 0) {
    return 6;
  }
  return DisconnectEkey(session) == 0 ? 0 : 7;
}

class CoreDumpTest : public TokenTest {
 protected:
  // GeneratedKeyDer opens the key the child generated, with a login of
  // this process.
  SecretBytes GeneratedKeyDer() {
    Disconnect(LoggedInSession());
    TokenState stored;
    EXPECT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
    const KeySlot &keys = stored.containers[XC_SLOT_SIGNATURE].keys[XC_KEY_SIGNATURE - 1];
    SecretBytes token_key, der;
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
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  // Forked before the key to import exists, so that the child holds only
  // the copies the token makes; it waits to be searched, then exits.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(to_child[1]);
    int step = 9;
    uint32_t len = 0;
    if (read(to_child[0], &len, sizeof(len)) == sizeof(len) && len <= kMaxPrivateKeyDer) {
      SecretBytes der(len);
      if (read(to_child[0], der.data(), len) == static_cast<ssize_t>(len)) step = TokenWork(der);
    }
    char done = 0;
    _exit(write(from_child[1], &step, sizeof(step)) == sizeof(step) &&
                  read(to_child[0], &done, 1) >= 0
              ? 0
              : 1);
  }
  close(to_child[0]);
  close(from_child[1]);
  Pkey imported = NewRsaKey(1024);
  const std::vector<uint8_t> der = StrictDer(imported.get());
  const uint32_t der_len = static_cast<uint32_t>(der.size());
  ASSERT_EQ(write(to_child[1], &der_len, sizeof(der_len)), static_cast<ssize_t>(sizeof(der_len)));
  ASSERT_EQ(write(to_child[1], der.data(), der.size()), static_cast<ssize_t>(der.size()));
  int step = -1;
  ASSERT_EQ(read(from_child[0], &step, sizeof(step)), static_cast<ssize_t>(sizeof(step)));
  ASSERT_EQ(step, 0) << "the child's token work failed at step " << step;
  const std::vector<std::vector<uint8_t>> dumped = DumpedBytes(child);
  close(to_child[1]);
  close(from_child[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_FALSE(dumped.empty()) << "the child's memory could not be read";

  const SecretBytes generated = GeneratedKeyDer();
  std::ostringstream found;
  size_t total = 0;
  for (const auto &[what, key] : {std::pair{"imported", Secret(der)}, {"generated", generated}}) {
    RsaKeyParts parts;
    ASSERT_TRUE(SplitRsaPrivateKeyDer(key.data(), key.size(), &parts));
    found << what << ":";
    for (size_t i = 0; i < 6; ++i) {
      std::vector<uint8_t> big(parts[3 + i].data, parts[3 + i].data + parts[3 + i].len);
      big.erase(big.begin(), std::find_if(big.begin(), big.end(), [](uint8_t b) { return b; }));
      const std::vector<uint8_t> little(big.rbegin(), big.rend());
      const size_t in_big = Count(dumped, big), in_little = Count(dumped, little);
      found << " " << kNumberNames[i] << " " << in_big << "+" << in_little;
      total += in_big + in_little;
    }
    found << "; ";
  }
  EXPECT_EQ(total, 0u) << "copies (big-endian+little-endian) in dumpable memory: " << found.str();
}

}  // namespace
}  // namespace obkey::softtoken::testing

#include "softtoken/store_file.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "softtoken/os.h"
#include "softtoken/softtoken_status.h"
#include "softtoken/store_format.h"

namespace obkey::softtoken {

namespace {

constexpr unsigned kLockPollMs = 10;

void (*before_rename_hook)() = nullptr;

}  // namespace

std::string TokenDir() {
  const char *dir = std::getenv(kTokenDirVariable);
  if (dir != nullptr && *dir != '\0') return dir;
  return os::DefaultTokenDir();
}

bool StorePathsFor(int32_t device_index, StorePaths *out) {
  if (device_index < 0) return false;
  std::string dir = TokenDir();
  if (dir.empty()) return false;
  std::string stem = "token-" + std::to_string(device_index);
  out->dir = dir;
  out->store = os::JoinPath(dir, stem + ".db");
  out->temp = out->store + ".tmp";
  out->lock = os::JoinPath(dir, stem + ".lock");
  return true;
}

unsigned LockTimeoutMs() {
  const char *text = std::getenv(kLockTimeoutVariable);
  if (text == nullptr || *text == '\0') return kDefaultLockTimeoutMs;
  char *end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 600000) return kDefaultLockTimeoutMs;
  return static_cast<unsigned>(value);
}

int32_t StoreLock::Acquire(const std::string &lock_path) {
  Release();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(LockTimeoutMs());
  for (;;) {
    switch (os::TryLockFile(lock_path, &handle_)) {
      case os::LockStatus::kAcquired:
        held_ = true;
        return 0;
      case os::LockStatus::kError:
        return XCST_STORE_IO;
      case os::LockStatus::kHeldElsewhere:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return XCST_TOKEN_BUSY;
    os::SleepMilliseconds(kLockPollMs);
  }
}

void StoreLock::Release() {
  if (!held_) return;
  os::UnlockFile(handle_);
  held_ = false;
}

int32_t LoadStore(const StorePaths &paths, TokenState *out_state) {
  std::vector<uint8_t> file;
  switch (os::ReadWholeFile(paths.store, kMaxStoreSize, &file)) {
    case os::ReadStatus::kOk:
      break;
    case os::ReadStatus::kMissing:
      return XCST_NO_TOKEN;
    case os::ReadStatus::kTooLarge:
      return XCST_STORE_CORRUPT;
    case os::ReadStatus::kError:
      return XCST_STORE_IO;
  }
  int32_t status = ParseStore(file, out_state);
  OPENSSL_cleanse(file.data(), file.size());
  return status;
}

int32_t SaveStore(const StorePaths &paths, const TokenState &state) {
  std::vector<uint8_t> file = SerializeStore(state);
  bool ok = os::ReplaceFileDurably(paths.store, paths.temp, file, before_rename_hook);
  OPENSSL_cleanse(file.data(), file.size());
  return ok ? 0 : XCST_STORE_IO;
}

void SetBeforeRenameHookForTesting(void (*hook)()) {
  before_rename_hook = hook;
}

}  // namespace obkey::softtoken

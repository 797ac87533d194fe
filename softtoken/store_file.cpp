#include "softtoken/store_file.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <vector>

#include "softtoken/key_cache.h"
#include "softtoken/os.h"
#include "softtoken/softtoken_status.h"

namespace obkey::softtoken {

namespace {

constexpr unsigned kLockPollMs = 10;

void (*before_rename_hook)() = nullptr;

int settle_ms_for_testing = -1;

int64_t SettleNs() {
  int ms = settle_ms_for_testing >= 0 ? settle_ms_for_testing : static_cast<int>(kStoreSettleMs);
  return static_cast<int64_t>(ms) * 1000000;
}

// ParsedStore is a store as read and checked whole, with the identity of
// the file it came from.
struct ParsedStore {
  os::FileIdentity identity;
  LoadedStore store;
};

struct ParsedStores {
  os::Mutex mutex;
  std::map<std::string, ParsedStore> by_path;
};

ParsedStores &Parsed() {
  static ParsedStores parsed;
  return parsed;
}

// ReuseParsed answers from the kept store when `file` is still the file it
// was read from and its header carries the same stamp.
bool ReuseParsed(const std::string &store_path, const os::ReadOnlyFile &file, LoadedStore *out) {
  uint8_t header[kStoreHeaderSize];
  size_t header_len = 0;
  StoreStamp stamp;
  if (!file.ReadPrefix(header, sizeof(header), &header_len) ||
      !ReadStoreStamp(header, header_len, &stamp)) {
    return false;
  }
  ParsedStores &parsed = Parsed();
  os::MutexLock hold(&parsed.mutex);
  auto it = parsed.by_path.find(store_path);
  if (it == parsed.by_path.end() || !(it->second.identity == file.identity()) ||
      it->second.store.stamp != stamp) {
    return false;
  }
  *out = it->second.store;
  return true;
}

// KeepParsed remembers a store read whole, unless the file changed too
// recently for its identity to tell a later rewrite apart.
void KeepParsed(const std::string &store_path, const os::FileIdentity &identity,
                int64_t read_started_ns, const LoadedStore &store) {
  ParsedStore kept{identity, store};
  ParsedStores &parsed = Parsed();
  os::MutexLock hold(&parsed.mutex);
  if (read_started_ns - identity.changed_ns >= SettleNs() &&
      read_started_ns - identity.modified_ns >= SettleNs()) {
    std::swap(parsed.by_path[store_path], kept);
  } else {
    parsed.by_path.erase(store_path);
  }
}

int32_t ForgetAfterFailure(const std::string &store_path, int32_t status) {
  ForgetParsedStore(store_path);
  return status;
}

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

int32_t LoadStore(const StorePaths &paths, LoadedStore *out) {
  // The clock is read before the file: a change after this moment gives the
  // file a later time than the one judged below.
  const int64_t read_started_ns = os::NowNs();
  os::ReadOnlyFile file;
  switch (file.Open(paths.store)) {
    case os::ReadStatus::kOk:
      break;
    case os::ReadStatus::kMissing:
      return ForgetAfterFailure(paths.store, XCST_NO_TOKEN);
    default:
      return ForgetAfterFailure(paths.store, XCST_STORE_IO);
  }
  if (ReuseParsed(paths.store, file, out)) return 0;
  std::vector<uint8_t> bytes;
  switch (file.ReadAll(kMaxStoreSize, &bytes)) {
    case os::ReadStatus::kOk:
      break;
    case os::ReadStatus::kTooLarge:
      return ForgetAfterFailure(paths.store, XCST_STORE_CORRUPT);
    default:
      return ForgetAfterFailure(paths.store, XCST_STORE_IO);
  }
  TokenState state;
  StoreStamp stamp;
  int32_t status = ParseStore(bytes, &state, &stamp);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (status != 0) return ForgetAfterFailure(paths.store, status);
  LoadedStore loaded{std::make_shared<const TokenState>(std::move(state)), stamp};
  KeepParsed(paths.store, file.identity(), read_started_ns, loaded);
  *out = std::move(loaded);
  return 0;
}

int32_t SaveStore(const StorePaths &paths, const TokenState &state, const StoreStamp &previous,
                  StoreStamp *out_stamp) {
  const uint64_t generation = previous.generation + 1;
  std::vector<uint8_t> file = SerializeStore(state, generation);
  StoreStamp stamp;
  ReadStoreStamp(file.data(), file.size(), &stamp);
  bool ok = os::ReplaceFileDurably(paths.store, paths.temp, file, before_rename_hook);
  OPENSSL_cleanse(file.data(), file.size());
  if (!ok) return XCST_STORE_IO;
  // The new file has just changed, so it is not kept (see LoadStore); its
  // predecessor's parsed copy and keys are of no further use.
  ForgetParsedStore(paths.store);
  *out_stamp = stamp;
  return 0;
}

void ForgetParsedStore(const std::string &store_path) {
  ParsedStore dropped;
  {
    ParsedStores &parsed = Parsed();
    os::MutexLock hold(&parsed.mutex);
    auto it = parsed.by_path.find(store_path);
    if (it != parsed.by_path.end()) {
      std::swap(dropped, it->second);
      parsed.by_path.erase(it);
    }
  }
  DropCachedKeys(store_path);
}

void ForgetAllParsedStores() {
  std::map<std::string, ParsedStore> dropped;
  {
    ParsedStores &parsed = Parsed();
    os::MutexLock hold(&parsed.mutex);
    dropped.swap(parsed.by_path);
  }
  DropAllCachedKeys();
}

void SetStoreSettleMsForTesting(int milliseconds) {
  settle_ms_for_testing = milliseconds;
}

void SetBeforeRenameHookForTesting(void (*hook)()) {
  before_rename_hook = hook;
}

}  // namespace obkey::softtoken

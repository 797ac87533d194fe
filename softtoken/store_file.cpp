#include "store_file.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <vector>

#include "key_cache.h"
#include "softtoken_os.h"
#include "softtoken_status.h"

namespace obkey::softtoken {

namespace {

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
  // The file had rested past the settle time when read: its identity alone
  // then tells that it is unchanged.
  bool settled = false;
};

struct ParsedStores {
  os::Mutex mutex;
  std::map<std::string, ParsedStore> by_path;
};

ParsedStores &Parsed() {
  static ParsedStores parsed;
  return parsed;
}

// ReuseByIdentity answers from the kept store when the file at the path is
// still the one it was read from. Only where the system alone keeps the
// change time (see os.h): then a file with the same identity has not been
// written since, and its header need not be read.
bool ReuseByIdentity(const std::string &store_path, LoadedStore *out) {
  if (!os::kChangeTimeKeptBySystem) return false;
  os::FileIdentity identity;
  if (os::StatIdentity(store_path, &identity) != os::ReadStatus::kOk) return false;
  ParsedStores &parsed = Parsed();
  os::MutexLock hold(&parsed.mutex);
  auto it = parsed.by_path.find(store_path);
  if (it == parsed.by_path.end() || !it->second.settled || !(it->second.identity == identity)) {
    return false;
  }
  *out = it->second.store;
  return true;
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
  if (it == parsed.by_path.end() || !it->second.settled ||
      !(it->second.identity == file.identity()) || it->second.store.stamp != stamp) {
    return false;
  }
  *out = it->second.store;
  return true;
}

// KeepParsed remembers a store read whole. Its header stamp (the content's
// digest) tells a later rewrite apart at any time; its identity alone does
// so only once the file had rested past the settle time.
void KeepParsed(const std::string &store_path, const os::FileIdentity &identity,
                int64_t read_started_ns, const LoadedStore &store) {
  const bool settled = read_started_ns - identity.changed_ns >= SettleNs() &&
                       read_started_ns - identity.modified_ns >= SettleNs();
  ParsedStore kept{identity, store, settled};
  ParsedStores &parsed = Parsed();
  os::MutexLock hold(&parsed.mutex);
  std::swap(parsed.by_path[store_path], kept);
}

// ReuseChecked answers from the kept store when the whole file, read in
// `bytes`, checks out with the kept store's stamp: the content is the one
// parsed, though the file changed too recently for its identity to say so.
bool ReuseChecked(const std::string &store_path, const SecretBytes &bytes, LoadedStore *out) {
  StoreStamp stamp;
  if (CheckStoreFile(bytes.data(), bytes.size(), &stamp) != 0) return false;
  ParsedStores &parsed = Parsed();
  os::MutexLock hold(&parsed.mutex);
  auto it = parsed.by_path.find(store_path);
  if (it == parsed.by_path.end() || it->second.store.stamp != stamp) return false;
  *out = it->second.store;
  return true;
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
  out->reserve = os::JoinPath(dir, stem + ".reserve");
  out->lock = os::JoinPath(dir, stem + ".lock");
  out->tries = os::JoinPath(dir, stem + ".tries");
  return true;
}

int32_t CheckTokenFolder(const std::string &dir) {
  switch (os::CheckTokenFolder(dir, nullptr)) {
    case os::FolderTrust::kTrusted:
      return 0;
    case os::FolderTrust::kShared:
      return XCST_TOKEN_DIR_SHARED;
    default:
      return XCST_TOKEN_DIR_FOREIGN;
  }
}

unsigned LockTimeoutMs() {
  const char *text = std::getenv(kLockTimeoutVariable);
  if (text == nullptr || *text == '\0') return kDefaultLockTimeoutMs;
  char *end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 600000) return kDefaultLockTimeoutMs;
  return static_cast<unsigned>(value);
}

namespace {

// Lock files left open by ended sessions, one per path: opening one costs
// more than locking it. A forked child closes the openings it inherits at
// the fork (a lock belongs to the opening, shared with the parent), so each
// is marked with the process that opened it, and the child forgets those of
// its parent without touching their numbers, which may name other files by
// then.
struct IdleLockFile {
  intptr_t file;
  uint64_t process;
};

struct IdleLockFiles {
  ~IdleLockFiles() {
    for (const auto &entry : by_path) {
      if (entry.second.process == os::ProcessId()) os::CloseLockFile(entry.second.file);
    }
  }
  os::Mutex mutex;
  std::map<std::string, IdleLockFile> by_path;
};

IdleLockFiles &IdleLocks() {
  static IdleLockFiles idle;
  return idle;
}

bool TakeIdleLockFile(const std::string &path, intptr_t *out_file) {
  IdleLockFiles &idle = IdleLocks();
  os::MutexLock hold(&idle.mutex);
  auto it = idle.by_path.find(path);
  if (it == idle.by_path.end()) return false;
  IdleLockFile found = it->second;
  idle.by_path.erase(it);
  if (found.process != os::ProcessId()) return false;
  *out_file = found.file;
  return true;
}

void PutIdleLockFile(const std::string &path, intptr_t file) {
  IdleLockFiles &idle = IdleLocks();
  {
    os::MutexLock hold(&idle.mutex);
    if (idle.by_path.emplace(path, IdleLockFile{file, os::ProcessId()}).second) return;
  }
  os::CloseLockFile(file);
}

}  // namespace

bool StoreLock::IsKnown(const std::string &lock_path) {
  IdleLockFiles &idle = IdleLocks();
  os::MutexLock hold(&idle.mutex);
  auto it = idle.by_path.find(lock_path);
  return it != idle.by_path.end() && it->second.process == os::ProcessId();
}

void StoreLock::Swap(StoreLock &other) {
  std::swap(path_, other.path_);
  std::swap(file_, other.file_);
  std::swap(open_, other.open_);
  std::swap(held_, other.held_);
  std::swap(process_, other.process_);
}

bool StoreLock::Held() const {
  return held_ && process_ == os::ProcessId();
}

int32_t StoreLock::Acquire(const std::string &lock_path) {
  Release();
  if (!TakeIdleLockFile(lock_path, &file_) && !os::OpenLockFile(lock_path, &file_)) {
    return XCST_STORE_IO;
  }
  path_ = lock_path;
  open_ = true;
  process_ = os::ProcessId();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(LockTimeoutMs());
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    switch (os::LockWithin(lock_path, left.count() > 0 ? static_cast<unsigned>(left.count()) : 0,
                           &file_)) {
      case os::LockStatus::kAcquired:
        held_ = true;
        // A lock file deleted or replaced while this opening waited (or lay
        // idle) locks nothing that another process sees: take the one at
        // the name.
        if (!os::LockFileIsAtPath(file_, lock_path)) {
          if (int32_t status = Reopen()) return status;
          continue;
        }
        return 0;
      case os::LockStatus::kError:
        os::CloseLockFile(file_);
        open_ = false;
        return XCST_STORE_IO;
      case os::LockStatus::kHeldElsewhere:
        Release();
        return XCST_TOKEN_BUSY;
    }
  }
}

int32_t StoreLock::Reopen() {
  if (held_) os::Unlock(file_);
  held_ = false;
  os::CloseLockFile(file_);
  open_ = false;
  if (!os::OpenLockFile(path_, &file_)) return XCST_STORE_IO;
  open_ = true;
  return 0;
}

int32_t StoreLock::Reaffirm() {
  ForgetIfInherited();
  // Not held: another thread of the session let it go for an RSA operation
  // after this call took it back.
  if (!held_) return path_.empty() ? XCST_STORE_IO : Acquire(std::string(path_));
  if (os::LockFileIsAtPath(file_, path_)) return 0;
  const std::string path = path_;
  if (int32_t status = Reopen()) return status;
  return Acquire(path);
}

void StoreLock::ForgetIfInherited() {
  // A forked child's copy of its parent's lock: the opening was closed at
  // the fork, and its number may name another file by now.
  if (open_ && process_ != os::ProcessId()) open_ = held_ = false;
}

void StoreLock::Release() {
  ForgetIfInherited();
  if (held_) os::Unlock(file_);
  held_ = false;
  if (open_) PutIdleLockFile(path_, file_);
  open_ = false;
}

int32_t LoadStore(const StorePaths &paths, LoadedStore *out) {
  // The clock is read before the file: a change after this moment gives the
  // file a later time than the one judged below.
  const int64_t read_started_ns = os::NowNs();
  if (ReuseByIdentity(paths.store, out)) return 0;
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
  SecretBytes bytes;
  switch (file.ReadAll(kMaxStoreSize, &bytes)) {
    case os::ReadStatus::kOk:
      break;
    case os::ReadStatus::kTooLarge:
      return ForgetAfterFailure(paths.store, XCST_STORE_CORRUPT);
    default:
      return ForgetAfterFailure(paths.store, XCST_STORE_IO);
  }
  if (ReuseChecked(paths.store, bytes, out)) {
    // Kept again under this file's identity, so that once it has rested a
    // connect needs no more than its identity.
    KeepParsed(paths.store, file.identity(), read_started_ns, *out);
    return 0;
  }
  TokenState state;
  StoreStamp stamp;
  int32_t status = ParseStore(bytes, &state, &stamp);
  if (status != 0) return ForgetAfterFailure(paths.store, status);
  // Every key of a store read whole is checked now, and kept for its stamp.
  status = CheckAndKeepKeys(paths.store, stamp, state);
  if (status != 0) return ForgetAfterFailure(paths.store, status);
  LoadedStore loaded{std::make_shared<const TokenState>(std::move(state)), stamp};
  KeepParsed(paths.store, file.identity(), read_started_ns, loaded);
  *out = std::move(loaded);
  return 0;
}

namespace {

// ForgetParsedStoreOnly drops the parsed copy of a store, not its keys.
void ForgetParsedStoreOnly(const std::string &store_path) {
  ParsedStore dropped;
  ParsedStores &parsed = Parsed();
  os::MutexLock hold(&parsed.mutex);
  auto it = parsed.by_path.find(store_path);
  if (it != parsed.by_path.end()) {
    std::swap(dropped, it->second);
    parsed.by_path.erase(it);
  }
}

// StoreIsStill says whether the store file is still the one of `previous`
// (missing, when `previous` is the empty stamp of a token not yet made).
int32_t StoreIsStill(const StorePaths &paths, const StoreStamp &previous) {
  os::ReadOnlyFile file;
  switch (file.Open(paths.store)) {
    case os::ReadStatus::kMissing:
      return previous == StoreStamp{} ? 0 : XCST_STORE_CHANGED;
    case os::ReadStatus::kOk:
      break;
    default:
      return XCST_STORE_IO;
  }
  uint8_t header[kStoreHeaderSize];
  size_t header_len = 0;
  StoreStamp stamp;
  if (!file.ReadPrefix(header, sizeof(header), &header_len)) return XCST_STORE_IO;
  if (!ReadStoreStamp(header, header_len, &stamp) || stamp != previous) return XCST_STORE_CHANGED;
  return 0;
}

}  // namespace

int32_t SaveStore(const StorePaths &paths, StoreLock *lock, const TokenState &state,
                  const StoreStamp &previous, StoreStamp *out_stamp) {
  // The lock file may have been deleted under this session (a cleaner of
  // stale files) and another session may have worked through a new one:
  // commit only under the lock at the name, over the store that was read.
  if (int32_t status = lock->Reaffirm()) return status;
  if (int32_t status = StoreIsStill(paths, previous)) {
    ForgetParsedStore(paths.store);
    return status;
  }
  const uint64_t generation = previous.generation + 1;
  SecretBytes file = SerializeStore(state, generation);
  StoreStamp stamp;
  ReadStoreStamp(file.data(), file.size(), &stamp);
  const os::WriteStatus written = os::ReplaceFileDurably(
      paths.store, paths.temp, paths.reserve, file.data(), file.size(), before_rename_hook);
  // The new file has just changed, so it is not kept (see LoadStore); its
  // predecessor's parsed copy is of no further use, and of the keys only
  // those the new store still holds. After a failure the file may be
  // either: read it afresh.
  if (written != os::WriteStatus::kOk) {
    ForgetParsedStore(paths.store);
    return written == os::WriteStatus::kNoSpace ? XCST_DISK_FULL : XCST_STORE_IO;
  }
  ForgetParsedStoreOnly(paths.store);
  KeepOnlyKeysOf(paths.store, state);
  *out_stamp = stamp;
  return 0;
}

void ForgetParsedStore(const std::string &store_path) {
  ForgetParsedStoreOnly(store_path);
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

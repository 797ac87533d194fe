#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <tuple>

#include "lock_queue.h"
#include "softtoken_os.h"

namespace obkey::softtoken::os {

namespace {

pthread_mutex_t process_state_mutex = PTHREAD_MUTEX_INITIALIZER;

bool IsDirectory(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// WriteAll writes the whole buffer; returns 0 or the errno of the failure.
int WriteAll(int fd, const uint8_t *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// SyncDirectory flushes a folder's entries to the disk. Some file systems
// cannot flush a folder at all (EINVAL and the like): their entries' fate is
// theirs to keep, and that is no failure. Any other error is.
bool SyncDirectory(const std::string &dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int error = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return error == 0 || error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP ||
         error == ENOSYS;
}

bool NoSpace(int error) {
  return error == ENOSPC || error == EDQUOT;
}

// WriteNewFile creates `path` afresh (never through a link, and only if
// nothing took the name), writes `contents` and flushes them. Returns 0 or
// the errno of the failure, the file removed then.
int WriteNewFile(const std::string &path, const uint8_t *contents, size_t len) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno;
  int error = WriteAll(fd, contents, len);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) unlink(path.c_str());
  return error;
}

// The reserve grows in steps, so that a store that grows a little at each
// commit does not reallocate it each time.
constexpr off_t kReserveStep = 16 * 1024;

// KeepReserve makes the regular file at `path` hold room for at least `len`
// bytes, as far as the disk allows; a failure changes nothing else.
void KeepReserve(const std::string &path, size_t len) {
  const off_t wanted = (static_cast<off_t>(len) + kReserveStep - 1) / kReserveStep * kReserveStep;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= wanted &&
      st.st_blocks * 512 >= wanted) {
    return;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) posix_fallocate(fd, 0, wanted);
  close(fd);
}

int64_t Nanoseconds(const timespec &ts) {
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

FileIdentity IdentityOf(const struct stat &st) {
  FileIdentity identity;
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.file_number = static_cast<uint64_t>(st.st_ino);
  identity.size = static_cast<uint64_t>(st.st_size);
  identity.modified_ns = Nanoseconds(st.st_mtim);
  identity.changed_ns = Nanoseconds(st.st_ctim);
  return identity;
}

}  // namespace

std::string DefaultTokenDir() {
  const char *home = std::getenv("HOME");
  std::string base = home != nullptr ? home : "";
  if (base.empty()) {
    const passwd *pw = getpwuid(getuid());
    if (pw == nullptr || pw->pw_dir == nullptr) return "";
    base = pw->pw_dir;
  }
  return base + "/.local/share/obkey/tokens";
}

std::string JoinPath(const std::string &dir, const std::string &name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool MakePrivateDirs(const std::string &dir) {
  if (dir.empty()) return false;
  bool flushed = true;
  auto make = [&](const std::string &folder) {
    // A folder just made is lost at a power cut until its parent's entries
    // are flushed.
    if (mkdir(folder.c_str(), 0700) == 0) flushed = SyncDirectory(FolderOf(folder)) && flushed;
  };
  for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    make(dir.substr(0, pos));
  }
  make(dir);
  return IsDirectory(dir) && flushed;
}

namespace {

// JudgeFolder applies the rule of CheckTokenFolder to one folder.
FolderTrust JudgeFolder(const struct stat &st, bool token_folder) {
  const uid_t me = geteuid();
  const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (token_folder) {
    if (st.st_uid != me) return FolderTrust::kForeign;
    return others_write ? FolderTrust::kShared : FolderTrust::kTrusted;
  }
  if (st.st_uid != me && st.st_uid != 0) return FolderTrust::kForeign;
  // In a sticky folder nobody renames or removes what another made.
  return others_write && (st.st_mode & S_ISVTX) == 0 ? FolderTrust::kForeign
                                                     : FolderTrust::kTrusted;
}

// JudgeChain judges `resolved` (a path without links) and every folder
// above it; `token_folder` says whether `resolved` is the token's folder
// itself or the nearest folder above one not made yet.
FolderTrust JudgeChain(const std::string &resolved, bool token_folder, std::string *out_folder) {
  std::string folder = resolved;
  for (bool first = true;; first = false) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) return FolderTrust::kForeign;
    const FolderTrust trust = JudgeFolder(st, first && token_folder);
    if (trust != FolderTrust::kTrusted) {
      if (out_folder != nullptr) *out_folder = folder;
      return trust;
    }
    if (folder == "/") return FolderTrust::kTrusted;
    folder = FolderOf(folder);
  }
}

std::string Resolved(const std::string &path) {
  char *resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string text = resolved;
  std::free(resolved);
  return text;
}

// The folders found trusted, with what would tell a change of their own.
struct TrustedFolders {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::map<std::string, std::vector<int64_t>> by_path;
};

// An object, not a block never freed: a client that unloads the library
// (dlclose) gets its memory back, and a leak check sees none.
TrustedFolders &Trusted() {
  static TrustedFolders trusted;
  return trusted;
}

std::vector<int64_t> FolderSeal(const struct stat &st) {
  return {static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino),
          static_cast<int64_t>(st.st_uid), static_cast<int64_t>(st.st_mode),
          Nanoseconds(st.st_ctim)};
}

}  // namespace

FolderTrust CheckTokenFolder(const std::string &dir, std::string *out_folder) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    // Not made yet: the folders above it that exist decide.
    std::string above = dir;
    do {
      above = FolderOf(above);
    } while (above != "/" && above != "." && stat(above.c_str(), &st) != 0);
    const std::string resolved = Resolved(above);
    return resolved.empty() ? FolderTrust::kTrusted : JudgeChain(resolved, false, out_folder);
  }
  const std::vector<int64_t> seal = FolderSeal(st);
  TrustedFolders &trusted = Trusted();
  pthread_mutex_lock(&trusted.mutex);
  auto it = trusted.by_path.find(dir);
  const bool known = it != trusted.by_path.end() && it->second == seal;
  pthread_mutex_unlock(&trusted.mutex);
  if (known) return FolderTrust::kTrusted;
  const std::string resolved = Resolved(dir);
  if (resolved.empty()) return FolderTrust::kForeign;
  const FolderTrust trust = JudgeChain(resolved, true, out_folder);
  if (trust == FolderTrust::kTrusted) {
    pthread_mutex_lock(&trusted.mutex);
    trusted.by_path[dir] = seal;
    pthread_mutex_unlock(&trusted.mutex);
  }
  return trust;
}

bool FileExists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

ReadStatus ReadOnlyFile::Open(const std::string &path) {
  // Non-blocking, so that a FIFO planted at the name is refused at once
  // instead of waiting for a writer; reads of a regular file never block.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kError;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ReadStatus::kError;
  }
  handle_ = fd;
  identity_ = IdentityOf(st);
  return ReadStatus::kOk;
}

bool ReadOnlyFile::ReadPrefix(uint8_t *out, size_t capacity, size_t *out_len) const {
  size_t got = 0;
  while (got < capacity) {
    ssize_t n =
        pread(static_cast<int>(handle_), out + got, capacity - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  *out_len = got;
  return true;
}

ReadStatus ReadOnlyFile::ReadAll(size_t max_len, obkey::SecretBytes *out) const {
  if (identity_.size > max_len) return ReadStatus::kTooLarge;
  obkey::SecretBytes bytes(static_cast<size_t>(identity_.size));
  size_t got = 0;
  if (!ReadPrefix(bytes.data(), bytes.size(), &got)) return ReadStatus::kError;
  // The checksum judges a file that changed size since it was opened.
  bytes.resize(got);
  *out = std::move(bytes);
  return ReadStatus::kOk;
}

WriteStatus ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                               const std::string &reserve_path, const uint8_t *contents,
                               size_t contents_len, void (*before_rename)()) {
  // Whatever is at the temporary name (a file an interrupted write left, or
  // a link someone planted) is removed, never written through: the new file
  // is created afresh, and only if nothing took the name meanwhile.
  if (unlink(temp_path.c_str()) != 0 && errno != ENOENT) return WriteStatus::kError;
  int error = WriteNewFile(temp_path, contents, contents_len);
  if (NoSpace(error) && unlink(reserve_path.c_str()) == 0) {
    error = WriteNewFile(temp_path, contents, contents_len);
  }
  if (error == 0 && before_rename != nullptr) before_rename();
  if (error == 0 && rename(temp_path.c_str(), path.c_str()) != 0) {
    error = errno;
    unlink(temp_path.c_str());
  }
  // After a failure too: the room given up is free again.
  KeepReserve(reserve_path, contents_len);
  if (error != 0) return NoSpace(error) ? WriteStatus::kNoSpace : WriteStatus::kError;
  // Until the folder is flushed, a power cut may bring the old store back.
  return SyncDirectory(FolderOf(path)) ? WriteStatus::kOk : WriteStatus::kError;
}

namespace {

// Every open lock-file descriptor of the process, with the file it was
// opened on. While a descriptor stays open its inode cannot be given to
// another file, so the name still names the opened file exactly when it
// has that device and inode: no fstat is needed at each lock.
//
// A lock belongs to an opening, which a forked child shares: were the
// child to keep its copies, a lock the parent holds, or one a waiter of
// the parent is granted later, would stay held for the child's life, even
// after the parent let it go by closing or exiting. So a forked child
// closes every one of them at once (CloseInheritedLockFiles), and the
// parent's openings, sessions and waiters are never used in it.
//
// Each entry also says whether the opening holds a turn of the file's
// queue (lock_queue.h), to be passed on when it lets the lock go.
struct OpenedLockFile {
  dev_t device = 0;
  ino_t inode = 0;
  bool holds_turn = false;
  LockQueue *queue = nullptr;
  uint32_t turn = 0;
};

struct OpenedLockFiles {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::map<int, OpenedLockFile> by_fd;
  // The queue of each lock file mapped here, null where it cannot be.
  std::map<std::pair<dev_t, ino_t>, LockQueue *> queues;
};

OpenedLockFiles &Opened() {
  // Never destroyed: a waiter's thread may still close a file while the
  // process exits.
  static OpenedLockFiles *opened = new OpenedLockFiles;
  return *opened;
}

// WatchForks sets up, once, what a fork does to the lock files and their
// waiters (below, after the waiters).
void WatchForks();

bool RecordedOpened(int fd, std::pair<dev_t, ino_t> *out) {
  OpenedLockFiles &opened = Opened();
  pthread_mutex_lock(&opened.mutex);
  auto it = opened.by_fd.find(fd);
  const bool found = it != opened.by_fd.end();
  if (found) *out = {it->second.device, it->second.inode};
  pthread_mutex_unlock(&opened.mutex);
  return found;
}

// QueueOf returns the queue of an opened lock file, mapped at its first
// use in the process; null where the file cannot hold one.
LockQueue *QueueOf(const std::string &path, int fd) {
  OpenedLockFiles &opened = Opened();
  pthread_mutex_lock(&opened.mutex);
  LockQueue *queue = nullptr;
  auto it = opened.by_fd.find(fd);
  if (it != opened.by_fd.end()) {
    const auto key = std::make_pair(it->second.device, it->second.inode);
    auto known = opened.queues.find(key);
    queue = known != opened.queues.end() ? known->second
                                         : (opened.queues[key] = MapLockQueue(path, fd));
  }
  pthread_mutex_unlock(&opened.mutex);
  return queue;
}

void RecordTurn(int fd, LockQueue *queue, uint32_t turn) {
  OpenedLockFiles &opened = Opened();
  pthread_mutex_lock(&opened.mutex);
  auto it = opened.by_fd.find(fd);
  const bool recorded = it != opened.by_fd.end();
  if (recorded) {
    it->second.holds_turn = true;
    it->second.queue = queue;
    it->second.turn = turn;
  }
  pthread_mutex_unlock(&opened.mutex);
  // An opening that is not recorded (none is) could not pass it on.
  if (!recorded) PassTurn(queue, turn);
}

// TakeTurn takes the turn an opening holds, if it holds one; the caller
// passes it on once the lock is let go. Called with the table's mutex held.
std::tuple<bool, LockQueue *, uint32_t> TakeTurn(OpenedLockFiles *opened, int fd) {
  auto it = opened->by_fd.find(fd);
  if (it == opened->by_fd.end() || !it->second.holds_turn) return {false, nullptr, 0};
  it->second.holds_turn = false;
  return {true, it->second.queue, it->second.turn};
}

// CloseOpened lets go of any lock of the opening, passing its turn on,
// and closes it. The lock goes explicitly: the opening may have been
// shared with a child forked before its descriptor was recorded.
void CloseOpened(int fd) {
  OpenedLockFiles &opened = Opened();
  pthread_mutex_lock(&opened.mutex);
  const auto [held_turn, queue, turn] = TakeTurn(&opened, fd);
  opened.by_fd.erase(fd);
  flock(fd, LOCK_UN);
  close(fd);
  pthread_mutex_unlock(&opened.mutex);
  if (held_turn) PassTurn(queue, turn);
}

}  // namespace

bool OpenLockFile(const std::string &path, intptr_t *out_file) {
  WatchForks();
  OpenedLockFiles &opened = Opened();
  // Opened and recorded under the table's mutex, which a fork waits for:
  // a child never inherits a lock-file descriptor it does not know of.
  pthread_mutex_lock(&opened.mutex);
  // Non-blocking, so that a FIFO planted at the name is refused at once
  // instead of waiting for a writer.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  struct stat st {};
  const bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    opened.by_fd[fd] = OpenedLockFile{st.st_dev, st.st_ino};
  } else if (fd >= 0) {
    close(fd);
  }
  pthread_mutex_unlock(&opened.mutex);
  if (!ok) return false;
  *out_file = fd;
  return true;
}

namespace {

LockStatus TryLock(int fd) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockStatus::kAcquired;
    if (errno != EINTR) break;
  }
  return errno == EWOULDBLOCK ? LockStatus::kHeldElsewhere : LockStatus::kError;
}

// Most holders keep the lock for a few microseconds (a session lets it go
// while it computes), so it is often free again after a few yields, which
// cost less than handing the wait to a waiter thread. Only a few: a caller
// that kept trying would overtake the blocked waiters below.
LockStatus TryLockAfterYields(int fd, unsigned timeout_ms) {
  constexpr int kYields = 8;
  LockStatus now = TryLock(fd);
  for (int i = 0; i < kYields && now == LockStatus::kHeldElsewhere && timeout_ms > 0; ++i) {
    sched_yield();
    now = TryLock(fd);
  }
  return now;
}

// InitMonotonicCondition makes a condition whose timed waits run on the
// monotonic clock, which a change of the wall clock does not move.
void InitMonotonicCondition(pthread_cond_t *condition) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(condition, &attr);
  pthread_condattr_destroy(&attr);
}

// LockWaiter blocks in flock on an opening of its own, on a waiter thread
// (WaiterThreads), so that the caller can give up at its deadline: a blocked
// flock cannot be cancelled. A waiter whose caller gave up stays, at most one per
// lock file, for the next caller to take over; when it gets the lock with
// nobody to hand it to, it lets it go at once.
struct LockWaiter {
  LockWaiter() { InitMonotonicCondition(&done); }
  ~LockWaiter() { pthread_cond_destroy(&done); }
  LockWaiter(const LockWaiter &) = delete;
  LockWaiter &operator=(const LockWaiter &) = delete;

  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t done;
  std::string path;
  int fd = -1;
  bool finished = false;
  bool acquired = false;
  bool wanted = true;  // false: nobody takes the lock when it comes
};

struct SpareWaiters {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::map<std::string, std::shared_ptr<LockWaiter>> by_path;
};

SpareWaiters &Spares() {
  // Never destroyed: a waiter's thread may still use it while the process
  // exits.
  static SpareWaiters *spares = new SpareWaiters;
  return *spares;
}

void DropSpare(const std::shared_ptr<LockWaiter> &waiter) {
  SpareWaiters &spares = Spares();
  pthread_mutex_lock(&spares.mutex);
  auto it = spares.by_path.find(waiter->path);
  if (it != spares.by_path.end() && it->second == waiter) spares.by_path.erase(it);
  pthread_mutex_unlock(&spares.mutex);
}

void WaitForLock(const std::shared_ptr<LockWaiter> &waiter) {
  int result = 0;
  do {
    result = flock(waiter->fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  pthread_mutex_lock(&waiter->mutex);
  waiter->finished = true;
  waiter->acquired = result == 0;
  const bool wanted = waiter->wanted;
  pthread_cond_broadcast(&waiter->done);
  pthread_mutex_unlock(&waiter->mutex);
  if (!wanted) {
    DropSpare(waiter);
    CloseOpened(waiter->fd);
  }
}

// WaiterThreads runs the waits on threads that stay for the next one a
// while: a wait for a lock held a few microseconds should not pay for a
// thread's start.
struct WaiterThreads {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t work;
  std::deque<std::shared_ptr<LockWaiter>> waits;
  int idle = 0;

  WaiterThreads() { InitMonotonicCondition(&work); }
};

// How long a thread with no wait to run stays.
constexpr time_t kIdleWaiterSeconds = 2;

WaiterThreads &Waiters() {
  // Never destroyed: its threads may still use it while the process exits.
  static WaiterThreads *threads = new WaiterThreads;
  return *threads;
}

void *RunWaits(void *) {
  WaiterThreads &threads = Waiters();
  pthread_mutex_lock(&threads.mutex);
  for (;;) {
    if (threads.waits.empty()) {
      timespec until{};
      clock_gettime(CLOCK_MONOTONIC, &until);
      until.tv_sec += kIdleWaiterSeconds;
      ++threads.idle;
      int result = 0;
      while (threads.waits.empty() && result != ETIMEDOUT) {
        result = pthread_cond_timedwait(&threads.work, &threads.mutex, &until);
      }
      --threads.idle;
      if (threads.waits.empty()) break;
    }
    std::shared_ptr<LockWaiter> waiter = std::move(threads.waits.front());
    threads.waits.pop_front();
    pthread_mutex_unlock(&threads.mutex);
    WaitForLock(waiter);
    waiter.reset();
    pthread_mutex_lock(&threads.mutex);
  }
  pthread_mutex_unlock(&threads.mutex);
  return nullptr;
}

// RunWait gives `waiter` to an idle waiter thread, or to a new one.
bool RunWait(const std::shared_ptr<LockWaiter> &waiter) {
  WaiterThreads &threads = Waiters();
  pthread_mutex_lock(&threads.mutex);
  threads.waits.push_back(waiter);
  bool started = true;
  if (threads.idle >= static_cast<int>(threads.waits.size())) {
    pthread_cond_signal(&threads.work);
  } else {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    started = pthread_create(&thread, &attr, RunWaits, nullptr) == 0;
    pthread_attr_destroy(&attr);
    if (!started) threads.waits.pop_back();
  }
  pthread_mutex_unlock(&threads.mutex);
  return started;
}

// TakeSpareWaiter returns the waiter that a caller who gave up left for
// `path`, wanted again, or null.
std::shared_ptr<LockWaiter> TakeSpareWaiter(const std::string &path) {
  SpareWaiters &spares = Spares();
  std::shared_ptr<LockWaiter> waiter;
  pthread_mutex_lock(&spares.mutex);
  auto it = spares.by_path.find(path);
  if (it != spares.by_path.end()) {
    std::shared_ptr<LockWaiter> spare = it->second;
    spares.by_path.erase(it);
    pthread_mutex_lock(&spare->mutex);
    if (!spare->finished) {
      spare->wanted = true;
      waiter = spare;
    }
    pthread_mutex_unlock(&spare->mutex);
  }
  pthread_mutex_unlock(&spares.mutex);
  return waiter;
}

std::shared_ptr<LockWaiter> StartWaiter(const std::string &path) {
  intptr_t fd = -1;
  if (!OpenLockFile(path, &fd)) return nullptr;
  auto waiter = std::make_shared<LockWaiter>();
  waiter->path = path;
  waiter->fd = static_cast<int>(fd);
  if (!RunWait(waiter)) {
    CloseOpened(waiter->fd);
    return nullptr;
  }
  return waiter;
}

// GiveUp leaves an unfinished waiter as the spare of its path (or, when
// there is one already, to let the lock go when it comes); a waiter that
// finished meanwhile has its lock dropped here.
void GiveUp(const std::shared_ptr<LockWaiter> &waiter) {
  SpareWaiters &spares = Spares();
  pthread_mutex_lock(&spares.mutex);
  pthread_mutex_lock(&waiter->mutex);
  const bool finished = waiter->finished;
  waiter->wanted = false;
  pthread_mutex_unlock(&waiter->mutex);
  if (!finished) spares.by_path.emplace(waiter->path, waiter);
  pthread_mutex_unlock(&spares.mutex);
  if (finished) CloseOpened(waiter->fd);
}

timespec MonotonicDeadline(unsigned timeout_ms) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

// AwaitWaiter waits for `waiter` until `deadline` and says whether it
// finished.
bool AwaitWaiter(LockWaiter *waiter, const timespec &deadline) {
  pthread_mutex_lock(&waiter->mutex);
  int result = 0;
  while (!waiter->finished && result != ETIMEDOUT) {
    result = pthread_cond_timedwait(&waiter->done, &waiter->mutex, &deadline);
  }
  const bool finished = waiter->finished;
  pthread_mutex_unlock(&waiter->mutex);
  return finished;
}

// A forked child has only the thread that forked: none of the waiter
// threads, none of the callers they served. Its copies of the tables above
// are taken over here: the mutexes are held across the fork (so that no
// table is copied half changed), the condition that the parent's threads
// were waiting on is made anew, and every lock-file opening the child
// inherited is closed (see OpenedLockFiles).
void HoldTablesForFork() {
  pthread_mutex_lock(&Spares().mutex);
  pthread_mutex_lock(&Waiters().mutex);
  pthread_mutex_lock(&Opened().mutex);
}

void LetTablesGoAfterFork() {
  pthread_mutex_unlock(&Opened().mutex);
  pthread_mutex_unlock(&Waiters().mutex);
  pthread_mutex_unlock(&Spares().mutex);
}

void TakeOverTablesInChild() {
  OpenedLockFiles &opened = Opened();
  for (const auto &entry : opened.by_fd) close(entry.first);
  opened.by_fd.clear();
  pthread_mutex_unlock(&opened.mutex);
  // The waiters are left unfreed: a parent's thread may have been waiting
  // on one's condition, which cannot be destroyed in the child.
  static auto *inherited = new std::vector<std::shared_ptr<LockWaiter>>;
  WaiterThreads &threads = Waiters();
  inherited->insert(inherited->end(), threads.waits.begin(), threads.waits.end());
  threads.waits.clear();
  threads.idle = 0;
  InitMonotonicCondition(&threads.work);
  pthread_mutex_unlock(&threads.mutex);
  SpareWaiters &spares = Spares();
  for (const auto &entry : spares.by_path) inherited->push_back(entry.second);
  spares.by_path.clear();
  pthread_mutex_unlock(&spares.mutex);
}

void WatchForks() {
  static const bool watching =
      pthread_atfork(HoldTablesForFork, LetTablesGoAfterFork, TakeOverTablesInChild) == 0;
  (void)watching;
}

}  // namespace

namespace {

// FlockWithin takes the flock itself: a few tries, then a waiter thread.
LockStatus FlockWithin(const std::string &path, unsigned timeout_ms, intptr_t *file) {
  LockStatus now = TryLockAfterYields(static_cast<int>(*file), timeout_ms);
  if (now != LockStatus::kHeldElsewhere || timeout_ms == 0) return now;
  std::shared_ptr<LockWaiter> waiter = TakeSpareWaiter(path);
  if (waiter == nullptr) waiter = StartWaiter(path);
  if (waiter == nullptr) return LockStatus::kError;
  if (!AwaitWaiter(waiter.get(), MonotonicDeadline(timeout_ms))) {
    GiveUp(waiter);
    return LockStatus::kHeldElsewhere;
  }
  if (!waiter->acquired) {
    CloseOpened(waiter->fd);
    return LockStatus::kError;
  }
  CloseOpened(static_cast<int>(*file));
  *file = waiter->fd;
  return LockStatus::kAcquired;
}

}  // namespace

LockStatus LockWithin(const std::string &path, unsigned timeout_ms, intptr_t *file) {
  const int fd = static_cast<int>(*file);
  LockQueue *queue = timeout_ms == 0 ? nullptr : QueueOf(path, fd);
  if (queue == nullptr) return FlockWithin(path, timeout_ms, file);
  const int64_t deadline_ns = MonotonicNs() + static_cast<int64_t>(timeout_ms) * 1000000;
  uint32_t turn = 0;
  LockStatus status = LockStatus::kAcquired;
  switch (AwaitTurn(queue, *file, deadline_ns, &turn)) {
    case Turn::kGivenUp:
      return LockStatus::kHeldElsewhere;
    case Turn::kServedWithLock:
      break;
    case Turn::kServed: {
      // Its turn come, a caller normally finds the flock free; a holder
      // outside the queue (an older library) is waited for as before.
      const int64_t left_ms = (deadline_ns - MonotonicNs()) / 1000000;
      status = FlockWithin(path, left_ms > 0 ? static_cast<unsigned>(left_ms) : 0, file);
      break;
    }
  }
  if (status == LockStatus::kAcquired) {
    RecordTurn(static_cast<int>(*file), queue, turn);
  } else {
    PassTurn(queue, turn);
  }
  return status;
}

bool LockShared(intptr_t file) {
  for (;;) {
    if (flock(static_cast<int>(file), LOCK_SH) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void Unlock(intptr_t file) {
  const int fd = static_cast<int>(file);
  flock(fd, LOCK_UN);
  OpenedLockFiles &opened = Opened();
  pthread_mutex_lock(&opened.mutex);
  const auto [held_turn, queue, turn] = TakeTurn(&opened, fd);
  pthread_mutex_unlock(&opened.mutex);
  if (held_turn) PassTurn(queue, turn);
}

void CloseLockFile(intptr_t file) {
  CloseOpened(static_cast<int>(file));
}

bool LockFileIsAtPath(intptr_t file, const std::string &path) {
  std::pair<dev_t, ino_t> opened{};
  struct stat named {};
  return RecordedOpened(static_cast<int>(file), &opened) && lstat(path.c_str(), &named) == 0 &&
         opened.first == named.st_dev && opened.second == named.st_ino;
}

ReadStatus StatIdentity(const std::string &path, FileIdentity *out) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kError;
  if (!S_ISREG(st.st_mode)) return ReadStatus::kError;
  *out = IdentityOf(st);
  return ReadStatus::kOk;
}

const bool kChangeTimeKeptBySystem = true;

namespace {

// The process id, kept current in a forked child by the fork handler.
uint64_t process_id = 0;

void ReadProcessId() {
  process_id = static_cast<uint64_t>(getpid());
}

}  // namespace

void SleepMs(unsigned milliseconds) {
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

uint64_t ProcessId() {
  static const bool watching_forks = [] {
    ReadProcessId();
    return pthread_atfork(nullptr, nullptr, ReadProcessId) == 0;
  }();
  return watching_forks ? process_id : static_cast<uint64_t>(getpid());
}

void SecretPage::Assign(const uint8_t *data, size_t len) {
  Release();
  const size_t page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (len > page_size) throw std::bad_alloc();
  void *page = mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw std::bad_alloc();
  page_ = static_cast<uint8_t *>(page);
#ifdef MADV_DONTDUMP
  madvise(page, page_size, MADV_DONTDUMP);
#endif
  mlock(page, page_size);
  if (len != 0) std::memcpy(page_, data, len);
  len_ = len;
}

void SecretPage::Release() {
  if (page_ == nullptr) return;
  const size_t page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  OPENSSL_cleanse(page_, page_size);
  munlock(page_, page_size);
  munmap(page_, page_size);
  page_ = nullptr;
  len_ = 0;
}

namespace {

// Large enough for the keys of many tokens and for what the program itself
// puts there: once set up, OpenSSL's secure allocations fail rather than
// fall back when it is full.
constexpr size_t kOpenSslSecureHeapSize = 4u << 20;

pthread_once_t secure_heap_once = PTHREAD_ONCE_INIT;

void SetUpSecureHeap() {
  if (CRYPTO_secure_malloc_initialized() == 0)
    CRYPTO_secure_malloc_init(kOpenSslSecureHeapSize, 32);
}

}  // namespace

void KeepOpenSslSecretsFromDumps() {
  pthread_once(&secure_heap_once, SetUpSecureHeap);
}

Mutex::Mutex() {
  static_assert(sizeof(storage_) >= sizeof(pthread_mutex_t), "Mutex storage too small");
  pthread_mutex_init(reinterpret_cast<pthread_mutex_t *>(storage_), nullptr);
}
Mutex::~Mutex() {
  pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t *>(storage_));
}
void Mutex::Lock() {
  pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(storage_));
}
void Mutex::Unlock() {
  pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(storage_));
}

void LockProcessState() {
  pthread_mutex_lock(&process_state_mutex);
}
void UnlockProcessState() {
  pthread_mutex_unlock(&process_state_mutex);
}

}  // namespace obkey::softtoken::os

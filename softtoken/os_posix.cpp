#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "softtoken_os.h"

namespace obkey::softtoken::os {

namespace {

pthread_mutex_t process_state_mutex = PTHREAD_MUTEX_INITIALIZER;

bool IsDirectory(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const uint8_t *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void SyncDirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
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
  for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    mkdir(dir.substr(0, pos).c_str(), 0700);
  }
  mkdir(dir.c_str(), 0700);
  return IsDirectory(dir);
}

bool DirectoryIsShared(const std::string &dir) {
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH));
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
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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

bool ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                        const uint8_t *contents, size_t contents_len, void (*before_rename)()) {
  // Whatever is at the temporary name (a file an interrupted write left, or
  // a link someone planted) is removed, never written through: the new file
  // is created afresh, and only if nothing took the name meanwhile.
  if (unlink(temp_path.c_str()) != 0 && errno != ENOENT) return false;
  int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, contents, contents_len) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(temp_path.c_str());
    return false;
  }
  if (before_rename != nullptr) before_rename();
  if (rename(temp_path.c_str(), path.c_str()) != 0) {
    unlink(temp_path.c_str());
    return false;
  }
  // The new contents are in place either way; some file systems cannot
  // flush a directory, and then the rename's durability is theirs to keep.
  SyncDirectoryOf(path);
  return true;
}

bool OpenLockFile(const std::string &path, intptr_t *out_file) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  *out_file = fd;
  return true;
}

LockStatus TryLock(intptr_t file) {
  for (;;) {
    if (flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0) return LockStatus::kAcquired;
    if (errno != EINTR) break;
  }
  return errno == EWOULDBLOCK ? LockStatus::kHeldElsewhere : LockStatus::kError;
}

void Unlock(intptr_t file) {
  flock(static_cast<int>(file), LOCK_UN);
}

void CloseLockFile(intptr_t file) {
  close(static_cast<int>(file));
}

bool LockFileIsLinked(intptr_t file) {
  struct stat st {};
  return fstat(static_cast<int>(file), &st) == 0 && st.st_nlink > 0;
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

uint64_t ProcessId() {
  static const bool watching_forks = [] {
    ReadProcessId();
    return pthread_atfork(nullptr, nullptr, ReadProcessId) == 0;
  }();
  return watching_forks ? process_id : static_cast<uint64_t>(getpid());
}

void LockMemory(const void *data, size_t len) {
  if (len != 0) mlock(data, len);
}

void UnlockMemory(const void *data, size_t len) {
  if (len != 0) munlock(data, len);
}

void SleepMilliseconds(unsigned milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
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

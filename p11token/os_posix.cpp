#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "p11token_os.h"

namespace obkey::p11token::os {

namespace {
// Writers first: a changing step is not starved by a stream of signatures.
pthread_rwlock_t process_state_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
constexpr uint32_t kConnectionLocks = 64;
pthread_mutex_t connection_locks[kConnectionLocks];
pthread_once_t connection_locks_made = PTHREAD_ONCE_INIT;
pthread_mutex_t tables_mutex = PTHREAD_MUTEX_INITIALIZER;

void MakeConnectionLocks() {
  for (pthread_mutex_t &lock : connection_locks) pthread_mutex_init(&lock, nullptr);
}
}  // namespace

void *LoadModule(const std::string &path) {
  // RTLD_LOCAL keeps the module's own symbols from binding to ours.
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void *ModuleSymbol(void *module, const char *name) {
  return dlsym(module, name);
}

std::string LoadError() {
  const char *text = dlerror();
  return text != nullptr ? text : "unknown loader failure";
}

bool ModuleFileIdentity(void * /*module*/, void *symbol_in_module, std::string *out_name,
                        std::string *out_identity) {
  // The file the loader really mapped, whatever path or name led to it.
  Dl_info info{};
  if (symbol_in_module == nullptr || dladdr(symbol_in_module, &info) == 0 ||
      info.dli_fname == nullptr) {
    return false;
  }
  char *resolved = realpath(info.dli_fname, nullptr);
  struct stat file {};
  bool known = resolved != nullptr && stat(resolved, &file) == 0;
  if (known) {
    std::string path = resolved;
    *out_name = path.substr(path.find_last_of('/') + 1);
    *out_identity = std::to_string(static_cast<unsigned long long>(file.st_dev)) + ":" +
                    std::to_string(static_cast<unsigned long long>(file.st_ino));
  }
  free(resolved);
  return known;
}

namespace {

// RunDirectory is a directory only this user can write, or "".
std::string RunDirectory() {
  const char *chosen = getenv("OBKEY_PKCS11_LOCK_DIR");
  if (chosen != nullptr && chosen[0] == '/') return chosen;
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return runtime;
  std::string dir = "/tmp/obkey-" + std::to_string(getuid());
  mkdir(dir.c_str(), 0700);
  struct stat info {};
  // A directory planted by someone else, or a link, is not ours to use.
  if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 0077) != 0) {
    return "";
  }
  return dir;
}

// The lock files opened so far, kept open for the process: a step then
// costs one flock call to take and one to release. Used under the process
// lock only.
std::map<std::string, int> open_lock_files;
std::string lock_failure;

int LockFile(const std::string &token_key) {
  auto it = open_lock_files.find(token_key);
  if (it != open_lock_files.end()) return it->second;
  std::string dir = RunDirectory();
  if (dir.empty()) {
    lock_failure = "/tmp/obkey-" + std::to_string(getuid()) +
                   " is not a folder of this user's alone (mode 0700), and neither "
                   "$OBKEY_PKCS11_LOCK_DIR nor $XDG_RUNTIME_DIR names another";
    return -1;
  }
  std::string path = dir + "/obkey-p11-" + token_key + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) lock_failure = "cannot make " + path + ": " + std::strerror(errno);
  if (fd >= 0) open_lock_files[token_key] = fd;
  return fd;
}

}  // namespace

void *LockToken(const std::string &token_key, int timeout_ms, bool *out_busy) {
  *out_busy = false;
  int fd = LockFile(token_key);
  if (fd < 0) return nullptr;
  *out_busy = true;
  // Polled, so that a step that never ends cannot hang the caller: often at
  // first, as most steps take well under a millisecond, and at most every
  // 4 ms, so that a waiter finds the short gaps between another process's
  // steps.
  long pause_us = 100, waited_us = 0;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return &open_lock_files[token_key];
    if (waited_us >= timeout_ms * 1000L) break;
    struct timespec pause {
      0, pause_us * 1000
    };
    nanosleep(&pause, nullptr);
    waited_us += pause_us;
    pause_us = pause_us < 4000 ? pause_us * 2 : 4000;
  }
  return nullptr;
}

uint64_t *ChangeCounter(const std::string &token_key) {
  static std::map<std::string, uint64_t *> mapped;
  auto it = mapped.find(token_key);
  if (it != mapped.end()) return it->second;
  int fd = LockFile(token_key);
  struct stat file {};
  if (fd < 0 || fstat(fd, &file) != 0) return nullptr;
  // A lock file made before counters were kept is empty: its counter
  // starts at zero.
  if (file.st_size < static_cast<off_t>(sizeof(uint64_t)) && ftruncate(fd, sizeof(uint64_t)) != 0) {
    return nullptr;
  }
  void *counter = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (counter == MAP_FAILED) return nullptr;
  return mapped[token_key] = static_cast<uint64_t *>(counter);
}

std::string LockFailureText() {
  return lock_failure;
}

void UnlockToken(void *lock) {
  if (lock == nullptr) return;
  flock(*static_cast<int *>(lock), LOCK_UN);
}

void Pause(int milliseconds) {
  struct timespec pause {
    milliseconds / 1000, (milliseconds % 1000) * 1000L * 1000L
  };
  nanosleep(&pause, nullptr);
}

void LockProcessState(bool exclusive) {
  if (exclusive) {
    pthread_rwlock_wrlock(&process_state_lock);
  } else {
    pthread_rwlock_rdlock(&process_state_lock);
  }
}

void UnlockProcessState(bool /*exclusive*/) {
  pthread_rwlock_unlock(&process_state_lock);
}

void LockConnection(uint32_t connection) {
  pthread_once(&connection_locks_made, MakeConnectionLocks);
  pthread_mutex_lock(&connection_locks[connection % kConnectionLocks]);
}

void UnlockConnection(uint32_t connection) {
  pthread_mutex_unlock(&connection_locks[connection % kConnectionLocks]);
}

void LockTables() {
  pthread_mutex_lock(&tables_mutex);
}

void UnlockTables() {
  pthread_mutex_unlock(&tables_mutex);
}

}  // namespace obkey::p11token::os

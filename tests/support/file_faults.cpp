#include "file_faults.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "power_cut_model.h"

namespace obkey_test {

namespace {

std::atomic<int> fail_from{0};
std::atomic<int> renames_seen{0};
std::atomic<bool> fail_folder_flushes{false};
std::string *counted_name = nullptr;
std::atomic<bool> counting{false};
std::atomic<int> opens_counted{0};
pthread_mutex_t trace_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<std::string> *trace = nullptr;

std::string LastComponent(const std::string &path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

void Record(const std::string &entry) {
  pthread_mutex_lock(&trace_mutex);
  if (trace != nullptr) trace->push_back(entry);
  pthread_mutex_unlock(&trace_mutex);
}

template <typename Function>
Function Next(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void CountOpensOf(const std::string &name) {
  pthread_mutex_lock(&trace_mutex);
  if (counted_name == nullptr) counted_name = new std::string;
  *counted_name = name;
  opens_counted = 0;
  counting = true;
  pthread_mutex_unlock(&trace_mutex);
}

int OpensCounted() {
  return opens_counted;
}

static void CountOpen(const char *path) {
  if (!counting || path == nullptr) return;
  pthread_mutex_lock(&trace_mutex);
  if (counted_name != nullptr && LastComponent(path) == *counted_name) ++opens_counted;
  pthread_mutex_unlock(&trace_mutex);
}

void FailFolderFlushes(bool fail) {
  fail_folder_flushes = fail;
}

void FailRenamesFrom(int first) {
  renames_seen = 0;
  fail_from = first;
}

int RenamesSeen() {
  return renames_seen;
}

void StartFileTrace() {
  pthread_mutex_lock(&trace_mutex);
  if (trace == nullptr) trace = new std::vector<std::string>;
  trace->clear();
  pthread_mutex_unlock(&trace_mutex);
}

std::vector<std::string> FileTrace() {
  pthread_mutex_lock(&trace_mutex);
  std::vector<std::string> copy = trace != nullptr ? *trace : std::vector<std::string>{};
  pthread_mutex_unlock(&trace_mutex);
  return copy;
}

}  // namespace obkey_test

extern "C" int rename(const char *from, const char *to) {
  using obkey_test::fail_from;
  static const auto real_rename = obkey_test::Next<int (*)(const char *, const char *)>("rename");
  const int seen = ++obkey_test::renames_seen;
  obkey_test::Record("rename " + obkey_test::LastComponent(from) + " " +
                     obkey_test::LastComponent(to));
  if (fail_from != 0 && seen >= fail_from) {
    errno = EIO;
    return -1;
  }
  const int result = real_rename(from, to);
  if (result == 0) obkey_test::ModelRenamed(from, to);
  return result;
}

extern "C" int fsync(int fd) {
  static const auto real_fsync = obkey_test::Next<int (*)(int)>("fsync");
  char link[64];
  char target[PATH_MAX + 1] = {};
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t len = readlink(link, target, PATH_MAX);
  obkey_test::Record("fsync " + obkey_test::LastComponent(len > 0 ? std::string(target, len) : ""));
  struct stat st {};
  if (obkey_test::fail_folder_flushes && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  const int result = real_fsync(fd);
  if (result == 0) obkey_test::ModelFlushed(fd);
  return result;
}

// The other calls only feed the power-cut model.

extern "C" int fdatasync(int fd) {
  static const auto real_fdatasync = obkey_test::Next<int (*)(int)>("fdatasync");
  const int result = real_fdatasync(fd);
  if (result == 0) obkey_test::ModelFlushed(fd);
  return result;
}

extern "C" int open(const char *path, int flags, ...) {
  static const auto real_open = obkey_test::Next<int (*)(const char *, int, ...)>("open");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  const int fd = real_open(path, flags, mode);
  obkey_test::CountOpen(path);
  if (fd >= 0) obkey_test::ModelOpened(fd, path, flags);
  return fd;
}

extern "C" ssize_t write(int fd, const void *data, size_t len) {
  static const auto real_write = obkey_test::Next<ssize_t (*)(int, const void *, size_t)>("write");
  const ssize_t written = real_write(fd, data, len);
  if (written > 0) obkey_test::ModelWrote(fd, data, static_cast<long>(written), -1);
  return written;
}

extern "C" int close(int fd) {
  static const auto real_close = obkey_test::Next<int (*)(int)>("close");
  obkey_test::ModelClosed(fd);
  return real_close(fd);
}

extern "C" int mkdir(const char *path, mode_t mode) {
  static const auto real_mkdir = obkey_test::Next<int (*)(const char *, mode_t)>("mkdir");
  const int result = real_mkdir(path, mode);
  if (result == 0) obkey_test::ModelMadeFolder(path);
  return result;
}

extern "C" int unlink(const char *path) {
  static const auto real_unlink = obkey_test::Next<int (*)(const char *)>("unlink");
  const int result = real_unlink(path);
  if (result == 0) obkey_test::ModelRemoved(path);
  return result;
}

extern "C" int ftruncate(int fd, off_t len) {
  static const auto real_ftruncate = obkey_test::Next<int (*)(int, off_t)>("ftruncate");
  const int result = real_ftruncate(fd, len);
  if (result == 0) obkey_test::ModelResized(fd, len, false);
  return result;
}

extern "C" int posix_fallocate(int fd, off_t offset, off_t len) {
  static const auto real_fallocate =
      obkey_test::Next<int (*)(int, off_t, off_t)>("posix_fallocate");
  const int result = real_fallocate(fd, offset, len);
  if (result == 0) obkey_test::ModelResized(fd, offset + len, true);
  return result;
}

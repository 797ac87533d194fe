#include "file_faults.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

namespace obkey_test {

namespace {

std::atomic<int> fail_from{0};
std::atomic<int> renames_seen{0};
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
  return real_rename(from, to);
}

extern "C" int fsync(int fd) {
  static const auto real_fsync = obkey_test::Next<int (*)(int)>("fsync");
  char link[64];
  char target[PATH_MAX + 1] = {};
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t len = readlink(link, target, PATH_MAX);
  obkey_test::Record("fsync " + obkey_test::LastComponent(len > 0 ? std::string(target, len) : ""));
  return real_fsync(fd);
}

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include <climits>

#include "lock_queue.h"

namespace obkey::softtoken::os {

namespace {

// A waiter sleeps on `serving` in the group of its ticket, so that serving
// a ticket wakes its waiter and few others.
uint32_t WakeGroup(uint32_t ticket) {
  return 1u << (ticket & 31);
}

}  // namespace

LockQueue *MapLockQueue(const std::string &path, intptr_t file) {
#if defined(__linux__)
  struct stat locked {
  }, own{};
  if (fstat(static_cast<int>(file), &locked) != 0) return nullptr;
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  // A page the disk has room for: touching a page beyond a file's end, or
  // one the disk cannot give, kills the process.
  void *page = MAP_FAILED;
  if (fstat(fd, &own) == 0 && own.st_dev == locked.st_dev && own.st_ino == locked.st_ino &&
      (own.st_size >= static_cast<off_t>(kQueuePage) ||
       posix_fallocate(fd, 0, static_cast<off_t>(kQueuePage)) == 0)) {
    page = mmap(nullptr, kQueuePage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  return page == MAP_FAILED ? nullptr : static_cast<LockQueue *>(page);
#else
  // Without futexes the waiters would poll: the system's own wait is kept.
  (void)path;
  (void)file;
  return nullptr;
#endif
}

#if defined(__linux__)

void SleepWhileServing(LockQueue *queue, uint32_t serving_now, uint32_t ticket, int64_t until_ns) {
  timespec until{static_cast<time_t>(until_ns / 1000000000),
                 static_cast<long>(until_ns % 1000000000)};
  syscall(SYS_futex, &queue->serving, FUTEX_WAIT_BITSET, serving_now, &until, nullptr,
          WakeGroup(ticket));
}

void WakeServed(LockQueue *queue, uint32_t served) {
  syscall(SYS_futex, &queue->serving, FUTEX_WAKE_BITSET, INT_MAX, nullptr, nullptr,
          WakeGroup(served));
}

#else

void SleepWhileServing(LockQueue *, uint32_t, uint32_t, int64_t) {}
void WakeServed(LockQueue *, uint32_t) {}

#endif

bool ProcessGone(uint32_t process) {
  return process > 0 && kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH;
}

uint32_t CurrentProcessNumber() {
  return static_cast<uint32_t>(getpid());
}

bool TryFileLock(intptr_t file) {
  for (;;) {
    if (flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace obkey::softtoken::os

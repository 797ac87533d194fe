// Mutex: a lock for process-wide state, usable as a namespace-scope object
// (constant-initialised, so it is ready before any static constructor runs).
// The Windows toolchain's C++ library has no std::mutex (win32 thread model),
// so Windows takes a slim reader/writer lock instead.
#ifndef OBKEY_PLATFORM_MUTEX_H
#define OBKEY_PLATFORM_MUTEX_H

#ifndef _WIN32
#include <mutex>
#endif

namespace obkey::platform {

class Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

#ifdef _WIN32
  void Lock();
  void Unlock();

 private:
  void *srw_lock_ = nullptr;  // an SRWLOCK: one pointer, SRWLOCK_INIT is null
#else
  void Lock() {
    mutex_.lock();
  }
  void Unlock() {
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
#endif
};

// MutexLock holds `mutex` for its own lifetime.
class MutexLock {
 public:
  explicit MutexLock(Mutex &mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex &mutex_;
};

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_MUTEX_H

#include <windows.h>

#include "mutex.h"

namespace obkey::platform {

static_assert(sizeof(SRWLOCK) == sizeof(void *), "an SRWLOCK is one pointer");

void Mutex::Lock() {
  AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw_lock_));
}

void Mutex::Unlock() {
  ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw_lock_));
}

}  // namespace obkey::platform

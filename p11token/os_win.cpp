#include <windows.h>

#include "p11token/os.h"

namespace obkey::p11token::os {

namespace {

// Initialised on first use: the lock must exist before any static
// constructor of a caller could reach an export.
CRITICAL_SECTION *ProcessStateSection() {
  static CRITICAL_SECTION section;
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  InitOnceExecuteOnce(
      &once,
      [](PINIT_ONCE, PVOID, PVOID *) -> BOOL {
        InitializeCriticalSection(&section);
        return TRUE;
      },
      nullptr, nullptr);
  return &section;
}

}  // namespace

void *LoadModule(const std::string &path) {
  return reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
}

void *ModuleSymbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void *LockToken(const std::string &token_key, int timeout_ms) {
  std::string name = "Local\\obkey-p11-" + token_key;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return nullptr;
  DWORD wait = WaitForSingleObject(mutex, static_cast<DWORD>(timeout_ms));
  // An abandoned mutex belonged to a process that died: the lock is ours.
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return mutex;
  CloseHandle(mutex);
  return nullptr;
}

void UnlockToken(void *lock) {
  if (lock == nullptr) return;
  ReleaseMutex(static_cast<HANDLE>(lock));
  CloseHandle(static_cast<HANDLE>(lock));
}

void LockProcessState() {
  EnterCriticalSection(ProcessStateSection());
}

void UnlockProcessState() {
  LeaveCriticalSection(ProcessStateSection());
}

}  // namespace obkey::p11token::os

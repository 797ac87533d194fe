#include <windows.h>

#include <cstdint>
#include <map>

#include "p11token_os.h"
#include "windows_error_text.h"

namespace obkey::p11token::os {

namespace {

// Statically initialised: the lock exists before any caller's static
// constructor could reach an export.
SRWLOCK process_state_lock = SRWLOCK_INIT;
constexpr uint32_t kConnectionLocks = 64;
SRWLOCK connection_locks[kConnectionLocks] = {};  // each SRWLOCK_INIT
SRWLOCK tables_lock = SRWLOCK_INIT;
std::string lock_failure;

}  // namespace

void *LoadModule(const std::string &path) {
  return reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
}

void *ModuleSymbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string LoadError() {
  // The system's own words, as a user would look them up, and the number.
  DWORD error = GetLastError();
  const std::string text = WindowsErrorText(error);
  return (text.empty() ? text : text + " ") + "(LoadLibrary error " + std::to_string(error) + ")";
}

bool ModuleFileIdentity(void *module, void * /*symbol_in_module*/, std::string *out_name,
                        std::string *out_identity) {
  char path[MAX_PATH * 2] = {};
  DWORD len = GetModuleFileNameA(static_cast<HMODULE>(module), path, sizeof(path));
  if (len == 0 || len >= sizeof(path)) return false;
  std::string identity(path, len);
  for (char &ch : identity) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  *out_name = identity.substr(identity.find_last_of("\\/") + 1);
  *out_identity = identity;
  return true;
}

void *LockToken(const std::string &token_key, int timeout_ms, bool *out_busy) {
  *out_busy = false;
  std::string name = "Local\\obkey-p11-" + token_key;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    lock_failure = "cannot make the mutex " + name + ": error " + std::to_string(GetLastError());
    return nullptr;
  }
  *out_busy = true;
  DWORD wait = WaitForSingleObject(mutex, static_cast<DWORD>(timeout_ms));
  // An abandoned mutex belonged to a process that died: the lock is ours.
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return mutex;
  CloseHandle(mutex);
  return nullptr;
}

uint64_t *ChangeCounter(const std::string &token_key) {
  static std::map<std::string, uint64_t *> mapped;
  auto it = mapped.find(token_key);
  if (it != mapped.end()) return it->second;
  // Shared memory of that name starts at zero when the first process makes it.
  std::string name = "Local\\obkey-p11-count-" + token_key;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(uint64_t), name.c_str());
  if (mapping == nullptr) return nullptr;
  void *counter = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(uint64_t));
  if (counter == nullptr) {
    CloseHandle(mapping);
    return nullptr;
  }
  // The mapping stays for the process.
  return mapped[token_key] = static_cast<uint64_t *>(counter);
}

std::string LockFailureText() {
  return lock_failure;
}

void UnlockToken(void *lock) {
  if (lock == nullptr) return;
  ReleaseMutex(static_cast<HANDLE>(lock));
  CloseHandle(static_cast<HANDLE>(lock));
}

void Pause(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

void LockProcessState(bool exclusive) {
  if (exclusive) {
    AcquireSRWLockExclusive(&process_state_lock);
  } else {
    AcquireSRWLockShared(&process_state_lock);
  }
}

void UnlockProcessState(bool exclusive) {
  if (exclusive) {
    ReleaseSRWLockExclusive(&process_state_lock);
  } else {
    ReleaseSRWLockShared(&process_state_lock);
  }
}

void LockConnection(uint32_t connection) {
  AcquireSRWLockExclusive(&connection_locks[connection % kConnectionLocks]);
}

void UnlockConnection(uint32_t connection) {
  ReleaseSRWLockExclusive(&connection_locks[connection % kConnectionLocks]);
}

void LockTables() {
  AcquireSRWLockExclusive(&tables_lock);
}

void UnlockTables() {
  ReleaseSRWLockExclusive(&tables_lock);
}

}  // namespace obkey::p11token::os

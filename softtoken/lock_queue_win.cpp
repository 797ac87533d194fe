#include <windows.h>

#include "lock_queue.h"

namespace obkey::softtoken::os {

LockQueue *MapLockQueue(intptr_t file) {
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size)) return nullptr;
  if (size.QuadPart < static_cast<LONGLONG>(kQueuePage)) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(kQueuePage);
    if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
      return nullptr;
    }
  }
  HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(kQueuePage), nullptr);
  if (mapping == nullptr) return nullptr;
  // The view keeps the mapping.
  void *view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kQueuePage);
  CloseHandle(mapping);
  return static_cast<LockQueue *>(view);
}

// No wait on a word shared between processes: the waiters poll, as the
// file lock's waiters did, but only for their own turn.
void SleepWhileServing(LockQueue *, uint32_t, uint32_t, int64_t) {
  Sleep(1);
}

void WakeServed(LockQueue *, uint32_t) {}

bool ProcessGone(uint32_t process) {
  if (process == 0) return false;
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
  if (handle == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool gone = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
  CloseHandle(handle);
  return gone;
}

uint32_t CurrentProcessNumber() {
  return GetCurrentProcessId();
}

bool TryFileLock(intptr_t file) {
  OVERLAPPED whole_file{};
  return LockFileEx(reinterpret_cast<HANDLE>(file),
                    LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole_file) != 0;
}

int64_t MonotonicNs() {
  LARGE_INTEGER frequency{}, now{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  const int64_t seconds = now.QuadPart / frequency.QuadPart;
  const int64_t rest = now.QuadPart % frequency.QuadPart;
  return seconds * 1000000000 + rest * 1000000000 / frequency.QuadPart;
}

}  // namespace obkey::softtoken::os

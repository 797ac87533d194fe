#include <windows.h>

#include "lock_queue.h"

namespace obkey::softtoken::os {

namespace {

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// MapPage gives the opened file its page and maps it; null on failure.
LockQueue *MapPage(HANDLE handle) {
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

}  // namespace

LockQueue *MapLockQueue(const std::string &path, intptr_t file) {
  HANDLE own = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (own == INVALID_HANDLE_VALUE) return nullptr;
  LockQueue *queue = SameFile(own, reinterpret_cast<HANDLE>(file)) ? MapPage(own) : nullptr;
  CloseHandle(own);
  return queue;
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

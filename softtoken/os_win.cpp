#include <windows.h>

#include <cstdlib>

#include "softtoken_os.h"

namespace obkey::softtoken::os {

namespace {

SRWLOCK process_state_lock = SRWLOCK_INIT;

bool IsDirectory(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool WriteAll(HANDLE file, const uint8_t *data, size_t len) {
  while (len > 0) {
    DWORD chunk = len > 0x100000 ? 0x100000 : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    len -= written;
  }
  return true;
}

// FileTimeNs turns 100-ns ticks since 1601 into nanoseconds since 1601.
int64_t FileTimeNs(const FILETIME &time) {
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(ticks) * 100;
}

}  // namespace

std::string DefaultTokenDir() {
  const char *local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || *local == '\0') return "";
  return JoinPath(JoinPath(local, "obkey"), "tokens");
}

std::string JoinPath(const std::string &dir, const std::string &name) {
  if (!dir.empty() && IsSeparator(dir.back())) return dir + name;
  return dir + "\\" + name;
}

bool MakePrivateDirs(const std::string &dir) {
  if (dir.empty()) return false;
  // Directories under %LOCALAPPDATA% inherit the user's private ACL.
  for (size_t pos = 1; pos < dir.size(); ++pos) {
    if (IsSeparator(dir[pos])) CreateDirectoryA(dir.substr(0, pos).c_str(), nullptr);
  }
  CreateDirectoryA(dir.c_str(), nullptr);
  return IsDirectory(dir);
}

bool DirectoryIsShared(const std::string & /*dir*/) {
  return false;
}

bool FileExists(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int64_t NowNs() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return FileTimeNs(now);
}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

ReadStatus ReadOnlyFile::Open(const std::string &path) {
  // The reparse-point flag opens a link itself rather than its target, so
  // that a planted link is refused below.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadStatus::kMissing
                                                                          : ReadStatus::kError;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(file);
    return ReadStatus::kError;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  identity_.device = info.dwVolumeSerialNumber;
  identity_.file_number = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity_.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity_.modified_ns = FileTimeNs(info.ftLastWriteTime);
  identity_.changed_ns = identity_.modified_ns;
  return ReadStatus::kOk;
}

bool ReadOnlyFile::ReadPrefix(uint8_t *out, size_t capacity, size_t *out_len) const {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  size_t got = 0;
  while (got < capacity) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(got);
    DWORD chunk = capacity - got > 0x100000 ? 0x100000 : static_cast<DWORD>(capacity - got);
    DWORD n = 0;
    if (!ReadFile(file, out + got, chunk, &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  *out_len = got;
  return true;
}

ReadStatus ReadOnlyFile::ReadAll(size_t max_len, obkey::SecretBytes *out) const {
  if (identity_.size > max_len) return ReadStatus::kTooLarge;
  obkey::SecretBytes bytes(static_cast<size_t>(identity_.size));
  size_t got = 0;
  if (!ReadPrefix(bytes.data(), bytes.size(), &got)) return ReadStatus::kError;
  bytes.resize(got);
  *out = std::move(bytes);
  return ReadStatus::kOk;
}

bool ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                        const uint8_t *contents, size_t contents_len, void (*before_rename)()) {
  // Whatever is at the temporary name is removed (DeleteFileA removes a
  // link, not its target) and the file created afresh, only if nothing took
  // the name meanwhile.
  DeleteFileA(temp_path.c_str());
  HANDLE file = CreateFileA(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, contents, contents_len) && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  if (!ok) {
    DeleteFileA(temp_path.c_str());
    return false;
  }
  if (before_rename != nullptr) before_rename();
  if (!MoveFileExA(temp_path.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temp_path.c_str());
    return false;
  }
  return true;
}

bool OpenLockFile(const std::string &path, intptr_t *out_file) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *out_file = reinterpret_cast<intptr_t>(file);
  return true;
}

LockStatus TryLock(intptr_t file) {
  OVERLAPPED whole_file{};
  if (LockFileEx(reinterpret_cast<HANDLE>(file),
                 LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole_file)) {
    return LockStatus::kAcquired;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? LockStatus::kHeldElsewhere : LockStatus::kError;
}

void Unlock(intptr_t file) {
  OVERLAPPED whole_file{};
  UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, 1, 0, &whole_file);
}

void CloseLockFile(intptr_t file) {
  CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool LockFileIsLinked(intptr_t file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info) &&
         info.nNumberOfLinks > 0;
}

ReadStatus StatIdentity(const std::string &path, FileIdentity *out) {
  ReadOnlyFile file;
  ReadStatus status = file.Open(path);
  if (status == ReadStatus::kOk) *out = file.identity();
  return status;
}

const bool kChangeTimeKeptBySystem = false;

uint64_t ProcessId() {
  return GetCurrentProcessId();
}

void SleepMilliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}

void LockMemory(const void *data, size_t len) {
  if (len != 0) VirtualLock(const_cast<void *>(data), len);
}

void UnlockMemory(const void *data, size_t len) {
  if (len != 0) VirtualUnlock(const_cast<void *>(data), len);
}

Mutex::Mutex() {
  static_assert(sizeof(storage_) >= sizeof(SRWLOCK), "Mutex storage too small");
  InitializeSRWLock(reinterpret_cast<SRWLOCK *>(storage_));
}
Mutex::~Mutex() = default;
void Mutex::Lock() {
  AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK *>(storage_));
}
void Mutex::Unlock() {
  ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK *>(storage_));
}

void LockProcessState() {
  AcquireSRWLockExclusive(&process_state_lock);
}
void UnlockProcessState() {
  ReleaseSRWLockExclusive(&process_state_lock);
}

}  // namespace obkey::softtoken::os

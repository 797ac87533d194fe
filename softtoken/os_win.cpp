#include <windows.h>

#include <cstdlib>

#include "softtoken/os.h"

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

bool FileExists(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

ReadStatus ReadWholeFile(const std::string &path, size_t max_len, std::vector<uint8_t> *out) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadStatus::kMissing
                                                                          : ReadStatus::kError;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return ReadStatus::kError;
  }
  if (static_cast<uint64_t>(size.QuadPart) > max_len) {
    CloseHandle(file);
    return ReadStatus::kTooLarge;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
  size_t got = 0;
  while (got < bytes.size()) {
    DWORD n = 0;
    if (!ReadFile(file, bytes.data() + got, static_cast<DWORD>(bytes.size() - got), &n, nullptr) ||
        n == 0) {
      break;
    }
    got += n;
  }
  CloseHandle(file);
  bytes.resize(got);
  *out = std::move(bytes);
  return ReadStatus::kOk;
}

bool ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                        const std::vector<uint8_t> &contents, void (*before_rename)()) {
  HANDLE file = CreateFileA(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, contents.data(), contents.size()) && FlushFileBuffers(file);
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

LockStatus TryLockFile(const std::string &path, intptr_t *out_lock) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LockStatus::kError;
  OVERLAPPED whole_file{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole_file)) {
    *out_lock = reinterpret_cast<intptr_t>(file);
    return LockStatus::kAcquired;
  }
  DWORD error = GetLastError();
  CloseHandle(file);
  return error == ERROR_LOCK_VIOLATION ? LockStatus::kHeldElsewhere : LockStatus::kError;
}

void UnlockFile(intptr_t lock) {
  HANDLE file = reinterpret_cast<HANDLE>(lock);
  OVERLAPPED whole_file{};
  UnlockFileEx(file, 0, 1, 0, &whole_file);
  CloseHandle(file);
}

void SleepMilliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}

void LockProcessState() {
  AcquireSRWLockExclusive(&process_state_lock);
}
void UnlockProcessState() {
  ReleaseSRWLockExclusive(&process_state_lock);
}

}  // namespace obkey::softtoken::os

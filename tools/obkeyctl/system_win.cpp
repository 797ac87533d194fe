#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "secret_array.h"
#include "system.h"

namespace obkeyctl {

namespace {

std::string ErrorText(DWORD error) {
  char text[256] = {};
  DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof(text), nullptr);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == '.')) {
    text[--len] = '\0';
  }
  return len > 0 ? std::string(text) : "system error " + std::to_string(error);
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

// _isatty is true for every character device, NUL included; only a
// console answers GetConsoleMode.
bool IsTerminal(int fd) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void UseBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool ReadHiddenLine(const std::string &prompt, obkey::SecretString *out_line) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  bool hidden = GetConsoleMode(input, &saved) != 0 &&
                SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  out_line->clear();
  bool got_line = false;
  char c = 0;
  while (_read(0, &c, 1) == 1) {
    got_line = true;
    if (c == '\n') break;
    out_line->push_back(c);
  }
  if (hidden) {
    SetConsoleMode(input, saved);
    std::fputs("\n", stderr);
  }
  if (!out_line->empty() && out_line->back() == '\r') out_line->pop_back();
  return got_line;
}

std::string SystemErrorText() {
  DWORD error = GetLastError();
  if (error != 0) return ErrorText(error);
  return std::strerror(errno);
}

StdoutDiversion::StdoutDiversion(bool capture) {
  std::fflush(stdout);
  saved_fd_ = _dup(1);
  if (saved_fd_ < 0) return;
  if (capture) {
    int ends[2];
    if (_pipe(ends, 65536, _O_BINARY) == 0) {
      capture_fd_ = ends[0];
      _dup2(ends[1], 1);
      _close(ends[1]);
      return;
    }
  }
  _dup2(2, 1);
}

std::string StdoutDiversion::Finish() {
  std::string captured;
  if (saved_fd_ < 0) return captured;
  std::fflush(stdout);
  _dup2(saved_fd_, 1);
  _close(saved_fd_);
  saved_fd_ = -1;
  if (capture_fd_ >= 0) {
    char buffer[512];
    int got = 0;
    while ((got = _read(capture_fd_, buffer, sizeof(buffer))) > 0) {
      captured.append(buffer, static_cast<size_t>(got));
    }
    _close(capture_fd_);
    capture_fd_ = -1;
  }
  return captured;
}

StdoutDiversion::~StdoutDiversion() {
  Finish();
}

bool WriteFileAtomically(const std::string &path, const uint8_t *bytes, size_t len, int,
                         std::string *out_error) {
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary =
        path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    *out_error = SystemErrorText() + " (creating a file in " + FolderOf(path) + ")";
    return false;
  }
  bool written = true;
  size_t done = 0;
  while (written && done < len) {
    DWORD chunk = static_cast<DWORD>(len - done > 1u << 20 ? 1u << 20 : len - done);
    DWORD wrote = 0;
    written = WriteFile(file, bytes + done, chunk, &wrote, nullptr) != 0 && wrote == chunk;
    done += wrote;
  }
  written = written && FlushFileBuffers(file) != 0;
  if (!written) *out_error = SystemErrorText();
  CloseHandle(file);
  if (written && MoveFileExA(temporary.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    *out_error = SystemErrorText();
    written = false;
  }
  if (!written) DeleteFileA(temporary.c_str());
  return written;
}

bool ReadTokenFile(const std::string &path, std::vector<uint8_t> *out_bytes,
                   std::string *out_error) {
  // Windows has no FIFO that a plain name opens; only files on a disk.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    *out_error = "it is not a regular file";
    return false;
  }
  obkey::SecretBytes bytes;
  if (!ReadWholeFile(path, &bytes, out_error)) return false;
  out_bytes->assign(bytes.begin(), bytes.end());
  return true;
}

bool ReadWholeFile(const std::string &path, obkey::SecretBytes *out_bytes, std::string *out_error) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *out_error = std::strerror(errno);
    return false;
  }
  out_bytes->clear();
  obkey::SecretArray<4096> buffer;
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    out_bytes->insert(out_bytes->end(), buffer.data(), buffer.data() + got);
  }
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) *out_error = "read error";
  return !failed;
}

obkey::SecretBytes ReadStdin() {
  obkey::SecretBytes bytes;
  obkey::SecretArray<4096> buffer;
  int got = 0;
  while ((got = _read(0, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0)
    bytes.insert(bytes.end(), buffer.data(), buffer.data() + got);
  return bytes;
}

bool WriteStdout(const uint8_t *bytes, size_t len) {
  std::fflush(stdout);
  while (len > 0) {
    int wrote = _write(1, bytes, static_cast<unsigned>(len > 1u << 20 ? 1u << 20 : len));
    if (wrote <= 0) return false;
    bytes += wrote;
    len -= static_cast<size_t>(wrote);
  }
  return true;
}

PathState ExaminePath(const std::string &path) {
  PathState state;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    state.error = SystemErrorText();
    return state;
  }
  DWORD attributes = data.dwFileAttributes;
  state.exists = true;
  state.size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  state.is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  state.readable = true;
  state.writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  if (!state.writable) state.error = "read-only";
  return state;
}

int64_t FreeSpace(const std::string &path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(available.QuadPart);
}

int LockHeldElsewhere(const std::string &lock_path) {
  HANDLE file = CreateFileA(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
  }
  OVERLAPPED at{};
  int held = 0;
  if (LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) == 0) {
    held = GetLastError() == ERROR_LOCK_VIOLATION ? 1 : -1;
  } else {
    UnlockFileEx(file, 0, 1, 0, &at);
  }
  CloseHandle(file);
  return held;
}

TokenFileLock::~TokenFileLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool TokenFileLock::Acquire(const std::string &path, unsigned timeout_ms, std::string *out_error) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *out_error = SystemErrorText();
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  for (unsigned waited = 0;; waited += 10) {
    OVERLAPPED at{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0)
      return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION || waited >= timeout_ms) break;
    Sleep(10);
  }
  *out_error = GetLastError() == ERROR_LOCK_VIOLATION ? "busy" : SystemErrorText();
  return false;
}

std::string ExistingFileNear(const std::string &relative) {
  char self[MAX_PATH] = {};
  DWORD len = GetModuleFileNameA(nullptr, self, sizeof(self));
  if (len == 0 || len >= sizeof(self)) return "";
  std::string path(self, len);
  path = path.substr(0, path.find_last_of("\\/") + 1) + relative;
  for (char &c : path) c = c == '/' ? '\\' : c;
  char full[MAX_PATH] = {};
  DWORD full_len = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
  if (full_len == 0 || full_len >= sizeof(full)) return "";
  DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return "";
  return full;
}

std::string LoadedLibraryPath(const char *stem) {
  HMODULE module = GetModuleHandleA((std::string(stem) + ".dll").c_str());
  char path[MAX_PATH] = {};
  if (module == nullptr || GetModuleFileNameA(module, path, sizeof(path)) == 0) return "";
  return path;
}

bool MakePrivateDirectory(std::string *, std::string *out_error) {
  *out_error = "not used on Windows";
  return false;
}

void RemovePrivateDirectory(const std::string &, const std::string &) {}

bool CreateFolders(const std::string &path, int, std::string *out_error) {
  for (size_t slash = path.find_first_of("\\/", 3);; slash = path.find_first_of("\\/", slash + 1)) {
    std::string part = path.substr(0, slash);
    if (CreateDirectoryA(part.c_str(), nullptr) == 0 && GetLastError() != ERROR_ALREADY_EXISTS) {
      *out_error = SystemErrorText() + " (" + part + ")";
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

std::string HomeFolder() {
  const char *local = std::getenv("LOCALAPPDATA");
  return local != nullptr ? local : "";
}

char PathSeparator() {
  return '\\';
}

bool HasRegistry() {
  return true;
}

void SetEnvironment(const char *name, const std::string &value) {
  _putenv_s(name, value.c_str());
}

bool WriteMachineValue(const char *key_path, const char *value_name, const std::string &value,
                       std::string *out_error) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                &key, nullptr);
  if (result == ERROR_SUCCESS) {
    result =
        RegSetValueExA(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) {
    *out_error = ErrorText(static_cast<DWORD>(result));
    return false;
  }
  return true;
}

FolderControl FolderInOthersControl(const std::string &dir) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  FolderControl control;
  HANDLE token = nullptr;
  alignas(8) unsigned char buffer[512];
  DWORD len = 0;
  const bool mine = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &len) &&
                    EqualSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, owner);
  if (token != nullptr) CloseHandle(token);
  if (!mine && !IsWellKnownSid(owner, WinLocalSystemSid) &&
      !IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    control = {dir, "is owned by another account"};
  }
  LocalFree(descriptor);
  return control;
}

}  // namespace obkeyctl

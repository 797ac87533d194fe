#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include "lock_queue.h"
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

// PrivateFileAttributes gives new folders and files an explicit
// descriptor that lets only the current user in (a protected DACL with one
// entry), whatever the folder's defaults would give; null (the defaults)
// when the user's SID cannot be read.
SECURITY_ATTRIBUTES *PrivateFileAttributes() {
  static SECURITY_ATTRIBUTES *attributes = []() -> SECURITY_ATTRIBUTES * {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    alignas(8) unsigned char buffer[512];
    DWORD len = 0;
    char *sid_text = nullptr;
    const bool have_sid =
        GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &len) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid_text);
    CloseHandle(token);
    if (!have_sid) return nullptr;
    const std::string sddl = std::string("D:P(A;OICI;FA;;;") + sid_text + ")";
    LocalFree(sid_text);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      return nullptr;
    }
    // Kept for the life of the process, like the answer it caches.
    static SECURITY_ATTRIBUTES kept{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    return &kept;
  }();
  return attributes;
}

// IsCurrentUser says whether `sid` is the account the process runs as.
bool IsCurrentUser(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(8) unsigned char buffer[512];
  DWORD len = 0;
  const bool same = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &len) &&
                    EqualSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, sid);
  CloseHandle(token);
  return same;
}

// IsLinkOrDirectory says whether an opened file is a directory or a
// reparse point (a link), which no store or lock file may be.
bool IsLinkOrDirectory(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return !GetFileInformationByHandle(file, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
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
  // New folders are private to the user whatever their parent allows;
  // existing ones keep their ACL.
  for (size_t pos = 1; pos < dir.size(); ++pos) {
    if (IsSeparator(dir[pos])) {
      CreateDirectoryA(dir.substr(0, pos).c_str(), PrivateFileAttributes());
    }
  }
  CreateDirectoryA(dir.c_str(), PrivateFileAttributes());
  return IsDirectory(dir);
}

FolderTrust CheckTokenFolder(const std::string &dir, std::string *out_folder) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    // Not made yet, or its owner cannot be read: the ACL decides what may
    // be done in it.
    return FolderTrust::kTrusted;
  }
  const bool trusted = IsCurrentUser(owner) || IsWellKnownSid(owner, WinLocalSystemSid) ||
                       IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  LocalFree(descriptor);
  if (trusted) return FolderTrust::kTrusted;
  if (out_folder != nullptr) *out_folder = dir;
  return FolderTrust::kForeign;
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
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
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

namespace {

bool NoSpace(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

// WriteNewFile creates `path` afresh (only if nothing took the name),
// writes `contents` and flushes them. Returns 0 or the error of the
// failure, the file removed then.
DWORD WriteNewFile(const std::string &path, const uint8_t *contents, size_t len) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, PrivateFileAttributes(), CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = WriteAll(file, contents, len) && FlushFileBuffers(file) ? 0 : GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  if (error != 0) DeleteFileA(path.c_str());
  return error;
}

// The reserve grows in steps, so that a store that grows a little at each
// commit does not reallocate it each time.
constexpr LONGLONG kReserveStep = 16 * 1024;

// KeepReserve makes the regular file at `path` at least `len` bytes long
// (NTFS allocates up to a file's end), as far as the disk allows.
void KeepReserve(const std::string &path, size_t len) {
  const LONGLONG wanted =
      (static_cast<LONGLONG>(len) + kReserveStep - 1) / kReserveStep * kReserveStep;
  WIN32_FILE_ATTRIBUTE_DATA seen{};
  if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &seen) &&
      (seen.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      ((static_cast<LONGLONG>(seen.nFileSizeHigh) << 32) | seen.nFileSizeLow) >= wanted) {
    return;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, PrivateFileAttributes(), OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER end{};
  end.QuadPart = wanted;
  if (GetFileType(file) == FILE_TYPE_DISK && !IsLinkOrDirectory(file) &&
      SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) {
    SetEndOfFile(file);
  }
  CloseHandle(file);
}

}  // namespace

WriteStatus ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                               const std::string &reserve_path, const uint8_t *contents,
                               size_t contents_len, void (*before_rename)()) {
  // Whatever is at the temporary name is removed (DeleteFileA removes a
  // link, not its target) and the file created afresh, only if nothing took
  // the name meanwhile.
  DeleteFileA(temp_path.c_str());
  DWORD error = WriteNewFile(temp_path, contents, contents_len);
  if (NoSpace(error) && DeleteFileA(reserve_path.c_str())) {
    error = WriteNewFile(temp_path, contents, contents_len);
  }
  if (error == 0 && before_rename != nullptr) before_rename();
  if (error == 0 && !MoveFileExA(temp_path.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
    DeleteFileA(temp_path.c_str());
  }
  // After a failure too: the room given up is free again.
  KeepReserve(reserve_path, contents_len);
  if (error != 0) return NoSpace(error) ? WriteStatus::kNoSpace : WriteStatus::kError;
  return WriteStatus::kOk;
}

bool OpenLockFile(const std::string &path, intptr_t *out_file) {
  // No FILE_SHARE_DELETE: while any process has the lock file open, nobody
  // can delete or rename it, so a lock is never taken on a file that has
  // lost its name.
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  PrivateFileAttributes(), OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) != FILE_TYPE_DISK || IsLinkOrDirectory(file)) {
    CloseHandle(file);
    return false;
  }
  *out_file = reinterpret_cast<intptr_t>(file);
  return true;
}

namespace {

constexpr unsigned kLockPollMs = 1;

LockStatus TryLock(HANDLE file) {
  OVERLAPPED whole_file{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole_file)) {
    return LockStatus::kAcquired;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? LockStatus::kHeldElsewhere : LockStatus::kError;
}

// The queue of each lock file mapped here (lock_queue.h), by volume and
// file index, and the turn each opening holds.
struct Turns {
  SRWLOCK lock = SRWLOCK_INIT;
  std::map<std::pair<DWORD, uint64_t>, LockQueue *> queues;
  std::map<intptr_t, std::pair<LockQueue *, uint32_t>> held;
};

Turns &TheTurns() {
  static Turns *turns = new Turns;
  return *turns;
}

LockQueue *QueueOf(const std::string &path, intptr_t file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) return nullptr;
  const auto key =
      std::make_pair(info.dwVolumeSerialNumber,
                     (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  Turns &turns = TheTurns();
  AcquireSRWLockExclusive(&turns.lock);
  auto known = turns.queues.find(key);
  LockQueue *queue =
      known != turns.queues.end() ? known->second : (turns.queues[key] = MapLockQueue(path, file));
  ReleaseSRWLockExclusive(&turns.lock);
  return queue;
}

void RecordTurn(intptr_t file, LockQueue *queue, uint32_t turn) {
  Turns &turns = TheTurns();
  AcquireSRWLockExclusive(&turns.lock);
  turns.held[file] = {queue, turn};
  ReleaseSRWLockExclusive(&turns.lock);
}

// TakeHeldTurn takes the turn an opening holds, to be passed on once its
// lock is let go; false when it holds none.
bool TakeHeldTurn(intptr_t file, std::pair<LockQueue *, uint32_t> *out_turn) {
  Turns &turns = TheTurns();
  AcquireSRWLockExclusive(&turns.lock);
  auto it = turns.held.find(file);
  const bool held = it != turns.held.end();
  if (held) {
    *out_turn = it->second;
    turns.held.erase(it);
  }
  ReleaseSRWLockExclusive(&turns.lock);
  return held;
}

LockStatus PollLock(HANDLE file, ULONGLONG deadline) {
  for (;;) {
    LockStatus status = TryLock(file);
    if (status != LockStatus::kHeldElsewhere || GetTickCount64() >= deadline) return status;
    Sleep(kLockPollMs);
  }
}

}  // namespace

LockStatus LockWithin(const std::string &path, unsigned timeout_ms, intptr_t *file) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  LockQueue *queue = timeout_ms == 0 ? nullptr : QueueOf(path, *file);
  if (queue == nullptr) return PollLock(reinterpret_cast<HANDLE>(*file), deadline);
  uint32_t turn = 0;
  LockStatus status = LockStatus::kAcquired;
  switch (
      AwaitTurn(queue, *file, MonotonicNs() + static_cast<int64_t>(timeout_ms) * 1000000, &turn)) {
    case Turn::kGivenUp:
      return LockStatus::kHeldElsewhere;
    case Turn::kServedWithLock:
      break;
    case Turn::kServed:
      status = PollLock(reinterpret_cast<HANDLE>(*file), deadline);
      break;
  }
  if (status == LockStatus::kAcquired) {
    RecordTurn(*file, queue, turn);
  } else {
    PassTurn(queue, turn);
  }
  return status;
}

bool LockShared(intptr_t file) {
  OVERLAPPED whole_file{};
  return LockFileEx(reinterpret_cast<HANDLE>(file), 0, 0, 1, 0, &whole_file) != 0;
}

void Unlock(intptr_t file) {
  OVERLAPPED whole_file{};
  UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, 1, 0, &whole_file);
  std::pair<LockQueue *, uint32_t> turn{};
  if (TakeHeldTurn(file, &turn)) PassTurn(turn.first, turn.second);
}

void CloseLockFile(intptr_t file) {
  // Taken before the handle's value can be given to another opening.
  std::pair<LockQueue *, uint32_t> turn{};
  const bool held = TakeHeldTurn(file, &turn);
  CloseHandle(reinterpret_cast<HANDLE>(file));
  if (held) PassTurn(turn.first, turn.second);
}

bool LockFileIsAtPath(intptr_t file, const std::string &path) {
  BY_HANDLE_FILE_INFORMATION opened{};
  BY_HANDLE_FILE_INFORMATION named{};
  HANDLE by_name =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (by_name == INVALID_HANDLE_VALUE) return false;
  const bool same = GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &opened) &&
                    GetFileInformationByHandle(by_name, &named) && opened.nNumberOfLinks > 0 &&
                    opened.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                    opened.nFileIndexHigh == named.nFileIndexHigh &&
                    opened.nFileIndexLow == named.nFileIndexLow;
  CloseHandle(by_name);
  return same;
}

ReadStatus StatIdentity(const std::string &path, FileIdentity *out) {
  ReadOnlyFile file;
  ReadStatus status = file.Open(path);
  if (status == ReadStatus::kOk) *out = file.identity();
  return status;
}

const bool kChangeTimeKeptBySystem = false;

void SleepMs(unsigned milliseconds) {
  Sleep(milliseconds);
}

uint64_t ProcessId() {
  return GetCurrentProcessId();
}

void SecretPage::Assign(const uint8_t *data, size_t len) {
  Release();
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  if (len > system.dwPageSize) throw std::bad_alloc();
  void *page = VirtualAlloc(nullptr, system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (page == nullptr) throw std::bad_alloc();
  page_ = static_cast<uint8_t *>(page);
  VirtualLock(page, system.dwPageSize);
  if (len != 0) std::memcpy(page_, data, len);
  len_ = len;
}

void SecretPage::Release() {
  if (page_ == nullptr) return;
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  SecureZeroMemory(page_, system.dwPageSize);
  VirtualUnlock(page_, system.dwPageSize);
  VirtualFree(page_, 0, MEM_RELEASE);
  page_ = nullptr;
  len_ = 0;
}

void KeepOpenSslSecretsFromDumps() {}

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

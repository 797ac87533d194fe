// os.h — the operating-system services of the software token: its default
// directory, private directories, whole-file reads, durable replacement of a
// file, advisory file locks, sleeping and one process-wide mutex.
// os_posix.cpp and os_win.cpp implement it; nothing else in this folder
// touches the operating system directly.
#ifndef OBKEY_SOFTTOKEN_OS_H
#define OBKEY_SOFTTOKEN_OS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace obkey::softtoken::os {

// DefaultTokenDir is ~/.local/share/obkey/tokens (POSIX) or
// %LOCALAPPDATA%\obkey\tokens (Windows); empty when the home directory is
// unknown.
std::string DefaultTokenDir();

// JoinPath appends `name` to `dir` with the platform's separator.
std::string JoinPath(const std::string &dir, const std::string &name);

// MakePrivateDirs creates `dir` and any missing parents, each private to the
// user (0700). Returns true when `dir` exists as a directory afterwards.
bool MakePrivateDirs(const std::string &dir);

// FileExists says whether `path` names an existing file.
bool FileExists(const std::string &path);

enum class ReadStatus { kOk, kMissing, kTooLarge, kError };

// ReadWholeFile reads `path` into `*out` when it holds at most `max_len`
// bytes; on any other outcome `*out` is left alone.
ReadStatus ReadWholeFile(const std::string &path, size_t max_len, std::vector<uint8_t> *out);

// ReplaceFileDurably writes `contents` to `temp_path` (created private to
// the user), flushes it to the disk, calls `before_rename` if not null, and
// renames it over `path`; on POSIX it then flushes the directory. A crash at
// any point leaves `path` with its old or its new contents. Returns false
// on any failure, leaving `path` untouched.
bool ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                        const std::vector<uint8_t> &contents, void (*before_rename)());

enum class LockStatus { kAcquired, kHeldElsewhere, kError };

// TryLockFile opens (creating, private to the user) the lock file `path` and
// takes an exclusive lock on it without waiting. On kAcquired `*out_lock`
// identifies the lock for UnlockFile. The lock belongs to this opening of
// the file: a second TryLockFile in the same process is refused too.
LockStatus TryLockFile(const std::string &path, intptr_t *out_lock);

// UnlockFile releases and closes a lock from TryLockFile.
void UnlockFile(intptr_t lock);

void SleepMilliseconds(unsigned milliseconds);

// The one mutex over the software token's process-wide tables.
void LockProcessState();
void UnlockProcessState();

class ProcessStateGuard {
 public:
  ProcessStateGuard() { LockProcessState(); }
  ~ProcessStateGuard() { UnlockProcessState(); }
  ProcessStateGuard(const ProcessStateGuard &) = delete;
  ProcessStateGuard &operator=(const ProcessStateGuard &) = delete;
};

}  // namespace obkey::softtoken::os

#endif  // OBKEY_SOFTTOKEN_OS_H

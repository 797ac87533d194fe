// What obkeyctl needs from the operating system, one implementation per
// platform (system_posix.cpp, system_win.cpp).
#ifndef OBKEY_TOOLS_OBKEYCTL_SYSTEM_H
#define OBKEY_TOOLS_OBKEYCTL_SYSTEM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "wiping_allocator.h"

namespace obkeyctl {

// IsTerminal: whether standard input (0), output (1) or error (2) is a terminal.
bool IsTerminal(int fd);

// UseBinaryStdio puts standard input and output into binary mode (Windows
// would otherwise turn 0x0A into 0x0D 0x0A).
void UseBinaryStdio();

// ReadHiddenLine writes `prompt` to standard error and reads one line from
// the terminal on standard input with echo turned off. False at end of input.
bool ReadHiddenLine(const std::string &prompt, obkey::SecretString *out_line);

// SystemErrorText is the text of the last system error (errno or
// GetLastError), e.g. "Permission denied".
std::string SystemErrorText();

// StdoutDiversion sends whatever is written to standard output while it
// lives to standard error, so that the library's own lines never mix into
// the results. With `capture` set they are collected instead and handed out
// by Finish.
class StdoutDiversion {
 public:
  explicit StdoutDiversion(bool capture = false);
  ~StdoutDiversion();
  StdoutDiversion(const StdoutDiversion &) = delete;
  StdoutDiversion &operator=(const StdoutDiversion &) = delete;
  // Finish restores standard output and returns what was captured.
  std::string Finish();

 private:
  int saved_fd_ = -1;
  int capture_fd_ = -1;
};

// WriteFileAtomically writes `bytes` to `path` through a temporary file
// created exclusively beside it, flushed and renamed over the target, so
// that a kill leaves the old file or the new one and a link planted at the
// name is replaced, never followed. `mode` is the new file's permission
// (POSIX). A path naming a device or a pipe is written in place. False with
// `*out_error` saying why.
bool WriteFileAtomically(const std::string &path, const uint8_t *bytes, size_t len, int mode,
                         std::string *out_error);

// ReadTokenFile reads a token file (the store): a regular file only,
// opened without blocking and not through a link; false with `*out_error`
// set otherwise.
bool ReadTokenFile(const std::string &path, std::vector<uint8_t> *out_bytes,
                   std::string *out_error);

// ReadWholeFile reads a file; false with `*out_error` set. What it reads
// may be a key, so it lands in a buffer that wipes what it frees.
bool ReadWholeFile(const std::string &path, obkey::SecretBytes *out_bytes, std::string *out_error);

// ReadStdin reads standard input to its end, into a wiping buffer too.
obkey::SecretBytes ReadStdin();

// WriteStdout writes bytes to standard output; false when it fails.
bool WriteStdout(const uint8_t *bytes, size_t len);

// PathState describes a file or folder for the diagnosis.
struct PathState {
  bool exists = false;
  bool is_directory = false;
  bool readable = false;
  bool writable = false;
  bool shared_writable = false;  // a folder that group or others may write (POSIX)
  int64_t size = -1;             // a file's size in bytes
  std::string error;             // why it could not be examined (exists false)
};
PathState ExaminePath(const std::string &path);

// FreeSpace is the room left, in bytes, for this user on the disk that holds
// `path`; -1 when it cannot tell.
int64_t FreeSpace(const std::string &path);

// LockHeldElsewhere probes the software token's lock file: 1 held by
// another process, 0 free or absent, -1 cannot tell.
int LockHeldElsewhere(const std::string &lock_path);

// TokenFileLock takes the exclusive lock that a software token session
// holds on its lock file (flock / LockFileEx on its first byte), so that no
// session reads or changes the store while it is held. Released when it goes.
class TokenFileLock {
 public:
  TokenFileLock() = default;
  ~TokenFileLock();
  TokenFileLock(const TokenFileLock &) = delete;
  TokenFileLock &operator=(const TokenFileLock &) = delete;
  // Acquire opens `path` (creating it 0600, never through a link) and waits
  // up to `timeout_ms` for the lock; false with `*out_error` set, "busy"
  // when another process kept it.
  bool Acquire(const std::string &path, unsigned timeout_ms, std::string *out_error);

 private:
  intptr_t handle_ = -1;
};

// ExistingFileNear is the full path of `relative` (a path with '/' between
// its parts) taken from the folder obkeyctl's own executable is in, when a
// file is there; empty otherwise.
std::string ExistingFileNear(const std::string &relative);

// LoadedLibraryPath is the path of the library loaded in this process whose
// file name holds `stem`; empty when none is.
std::string LoadedLibraryPath(const char *stem);

// MakePrivateDirectory creates a fresh folder only the user can enter, in
// the temporary folder; false with `*out_error` set.
bool MakePrivateDirectory(std::string *out_path, std::string *out_error);

// RemovePrivateDirectory removes `file` and then `dir` (both may be empty).
void RemovePrivateDirectory(const std::string &dir, const std::string &file);

// FolderInOthersControl applies the software token's rule for its folder to
// `dir` and the folders above it (softtoken/README.md): the first that
// another account controls, with why ("owned by uid 65534", ...), or an
// empty folder when none does. `dir` need not exist yet. POSIX; Windows
// names `dir` when another account owns it.
struct FolderControl {
  std::string folder;
  std::string why;
};
FolderControl FolderInOthersControl(const std::string &dir);

// CreateFolders creates `path` and its missing parents with `mode`.
bool CreateFolders(const std::string &path, int mode, std::string *out_error);

// HomeFolder is the user's home (POSIX) or %LOCALAPPDATA% (Windows); empty
// when unknown.
std::string HomeFolder();

// PathSeparator is '/' or '\\'.
char PathSeparator();

// HasRegistry: whether the configuration is a real registry (Windows).
bool HasRegistry();

// SetEnvironment sets a variable for this process and the library.
void SetEnvironment(const char *name, const std::string &value);

// WriteMachineValue writes the registry string value (Windows only); false
// with `*out_error` set elsewhere and on failure.
bool WriteMachineValue(const char *key_path, const char *value_name, const std::string &value,
                       std::string *out_error);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_SYSTEM_H

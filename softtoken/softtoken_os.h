// softtoken_os.h — the operating-system services of the software token: its default
// directory, private directories, whole-file reads, durable replacement of a
// file, advisory file locks, sleeping and one process-wide mutex.
// os_posix.cpp and os_win.cpp implement it; nothing else in this folder
// touches the operating system directly.
#ifndef OBKEY_SOFTTOKEN_SOFTTOKEN_OS_H
#define OBKEY_SOFTTOKEN_SOFTTOKEN_OS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scoped_call.h"
#include "wiping_allocator.h"

namespace obkey::softtoken::os {

// DefaultTokenDir is ~/.local/share/obkey/tokens (POSIX) or
// %LOCALAPPDATA%\obkey\tokens (Windows); empty when the home directory is
// unknown.
std::string DefaultTokenDir();

// JoinPath appends `name` to `dir` with the platform's separator.
std::string JoinPath(const std::string &dir, const std::string &name);

// MakePrivateDirs creates `dir` and any missing parents, each private to the
// user (0700), and flushes the folder that holds each one it creates (POSIX),
// so that a power cut cannot take a new folder away with what is put in it.
// Returns true when `dir` exists as a directory afterwards and every flush
// succeeded.
bool MakePrivateDirs(const std::string &dir);

enum class FolderTrust { kTrusted, kShared, kForeign };

// CheckTokenFolder says whether the folder `dir` may keep a token, judged as
// ssh judges a ~/.ssh: nobody but the user (and root) may change what is in
// it, nor put another folder in its place. POSIX, with the path's links
// resolved: `dir` must be owned by the user (kForeign otherwise) and not
// writable by its group or others (kShared); every folder above it must be
// owned by the user or by root, and not writable by its group or others
// unless it is sticky, like /tmp (kForeign otherwise). A `dir` that does not
// exist yet is judged by the folders above it that do. A folder found
// trusted is kept as such in the process while its own identity, owner,
// mode and change time stay the same: the folders above it can change
// afterwards only by their owners' doing, the user's or root's. Windows
// keeps the ACL that %LOCALAPPDATA% gives: `dir` owned by an account other
// than the user, the administrators or the system is kForeign; the folders
// above are not judged. `*out_folder` (when not null) names the folder that
// was refused.
FolderTrust CheckTokenFolder(const std::string &dir, std::string *out_folder);

// FileExists says whether `path` names an existing file.
bool FileExists(const std::string &path);

enum class ReadStatus { kOk, kMissing, kTooLarge, kError };

// FileIdentity tells a file apart from another put in its place: device and
// file number (inode, or volume serial and file index), size, and the times
// of the last change (POSIX mtime and ctime; Windows last write). Times are
// nanoseconds since the epoch of NowNs.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file_number = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;

  bool operator==(const FileIdentity &other) const {
    return device == other.device && file_number == other.file_number && size == other.size &&
           modified_ns == other.modified_ns && changed_ns == other.changed_ns;
  }
};

// NowNs is the wall-clock time in the units and epoch of FileIdentity.
int64_t NowNs();

// ReadOnlyFile is one opening of a regular file for reading; all reads
// through it see the same file even if another replaces it at its path.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile &) = delete;
  ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

  // Open opens `path`, refusing a symbolic link (or reparse point) in its
  // last component and anything but a regular file (kError). Returns kOk,
  // kMissing or kError.
  ReadStatus Open(const std::string &path);
  const FileIdentity &identity() const { return identity_; }
  // ReadPrefix reads up to `capacity` bytes from the start into `out` and
  // stores the count read. Returns false on a read error.
  bool ReadPrefix(uint8_t *out, size_t capacity, size_t *out_len) const;
  // ReadAll reads the whole file into `*out` when it holds at most `max_len`
  // bytes; on any other outcome `*out` is left alone. A file shorter than
  // its identity said is read as it is.
  // The buffer wipes what it frees: a store holds private keys.
  ReadStatus ReadAll(size_t max_len, obkey::SecretBytes *out) const;

 private:
  intptr_t handle_ = -1;
  FileIdentity identity_;
};

enum class WriteStatus { kOk, kNoSpace, kError };

// ReplaceFileDurably writes `contents` to `temp_path` (created private to
// the user), flushes it to the disk, calls `before_rename` if not null, and
// renames it over `path`; on POSIX it then flushes the directory. A crash at
// any point leaves `path` with its old or its new contents, and the new
// ones once it returned kOk.
//
// `reserve_path` names a file that keeps room on the disk for the next
// replacement: when the disk has no room left for the new file, the
// reserve is given up and the write tried once more, and after the rename
// the reserve is made again (as far as the disk allows) as large as the new
// file, whose predecessor's room is free by then. So a replacement no
// larger than the last one goes through on a full disk.
//
// Returns kOk; kNoSpace when the disk had no room for the new file, or
// kError on any other failure, `path` untouched either way, except when the
// flush of the directory after the rename failed (kError): the new contents
// are then in place but might not survive a power cut.
WriteStatus ReplaceFileDurably(const std::string &path, const std::string &temp_path,
                               const std::string &reserve_path, const uint8_t *contents,
                               size_t contents_len, void (*before_rename)());

enum class LockStatus { kAcquired, kHeldElsewhere, kError };

// OpenLockFile opens (creating, private to the user) the lock file `path`;
// `*out_file` then names it for the calls below. Anything but a regular
// file at the name (a link, a FIFO, a device) is refused at once, without
// waiting for a peer. Returns false on failure.
bool OpenLockFile(const std::string &path, intptr_t *out_file);

// LockWithin takes an exclusive lock through the opened lock file `*file`,
// waiting at most `timeout_ms` while another opening holds it. The lock
// belongs to the opening: a lock through another opening, even in the same
// process, waits like any other. On POSIX a waiter yields a few times,
// then blocks in the system and is woken as the lock frees; the lock may
// then be taken through another opening of `path`, and `*file` names that
// one (the old opening is closed). Windows polls. Returns kAcquired, kHeldElsewhere (the time
// passed) or kError.
LockStatus LockWithin(const std::string &path, unsigned timeout_ms, intptr_t *file);

// LockShared takes a shared lock through the opened lock file `file`,
// waiting while another opening holds it exclusively. Returns false on an
// error.
bool LockShared(intptr_t file);

// Unlock releases the lock; the file stays open.
void Unlock(intptr_t file);
void CloseLockFile(intptr_t file);

// LockFileIsAtPath says whether an opened lock file is still the file
// named `path`: a lock on a file deleted or replaced since it was opened
// excludes nobody who opens the name afresh.
bool LockFileIsAtPath(intptr_t file, const std::string &path);

// StatIdentity gives the identity of the regular file `path` without
// opening it and without following a link in its last component. Returns
// kOk, kMissing or kError (also for anything but a regular file).
ReadStatus StatIdentity(const std::string &path, FileIdentity *out);

// Whether FileIdentity::changed_ns is kept by the system alone (POSIX
// ctime), so that no program can give a rewritten file its old identity.
// Windows lets programs set every file time; there a reused store's header
// is compared too.
extern const bool kChangeTimeKeptBySystem;

// SecretPage holds a small secret (at most one page) in memory of its own,
// kept out of swap (mlock / VirtualLock) and out of core dumps
// (MADV_DONTDUMP) where the system allows; a refusal (a memory-lock limit)
// leaves it unlocked and changes nothing else. Wiped and released when
// replaced or destroyed.
class SecretPage {
 public:
  SecretPage() = default;
  ~SecretPage() { Release(); }
  SecretPage(const SecretPage &) = delete;
  SecretPage &operator=(const SecretPage &) = delete;

  // Assign copies `len` bytes in. Throws std::bad_alloc when no page can be
  // had or `len` is larger than one.
  void Assign(const uint8_t *data, size_t len);
  const uint8_t *data() const { return page_; }
  size_t size() const { return len_; }

 private:
  void Release();
  uint8_t *page_ = nullptr;
  size_t len_ = 0;
};

// KeepOpenSslSecretsFromDumps sets up OpenSSL's secure heap once, unless
// the program already did: the private parts of the keys OpenSSL parses
// from DER (d, p, q and the CRT values) then live in pages kept out of swap
// and core dumps. POSIX only; elsewhere it does nothing.
void KeepOpenSslSecretsFromDumps();

// SleepMs sleeps for about `milliseconds`.
void SleepMs(unsigned milliseconds);

// ProcessId identifies the calling process (a forked child has its own).
uint64_t ProcessId();

// Mutex is a plain lock between threads (the Windows toolchain's C++
// library has no std::mutex).
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;
  void Lock();
  void Unlock();

 private:
  alignas(16) unsigned char storage_[64];
};

class MutexLock {
 public:
  explicit MutexLock(Mutex *mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() { mutex_->Unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex *mutex_;
};

// The one mutex over the software token's process-wide tables.
void LockProcessState();
void UnlockProcessState();

using ProcessStateGuard = ScopedCall<LockProcessState, UnlockProcessState>;

}  // namespace obkey::softtoken::os

#endif  // OBKEY_SOFTTOKEN_SOFTTOKEN_OS_H

// store_file.h — where a device's token store lives, its lock, and reading
// and writing it whole.
#ifndef OBKEY_SOFTTOKEN_STORE_FILE_H
#define OBKEY_SOFTTOKEN_STORE_FILE_H

#include <cstdint>
#include <memory>
#include <string>

#include "store_format.h"
#include "token_state.h"

namespace obkey::softtoken {

// Environment variables read on every connect and format.
constexpr char kTokenDirVariable[] = "XCSP_TOKEN_DIR";
constexpr char kLockTimeoutVariable[] = "XCSP_TOKEN_LOCK_TIMEOUT_MS";
constexpr unsigned kDefaultLockTimeoutMs = 5000;

struct StorePaths {
  std::string dir;
  std::string store;    // token-N.db
  std::string temp;     // token-N.db.tmp, the next store before its rename
  std::string reserve;  // token-N.reserve, room kept on the disk for the next commit
  std::string lock;     // token-N.lock
  std::string tries;    // token-N.tries, the PIN checks in flight (pin_in_flight.h)
};

// TokenDir is $XCSP_TOKEN_DIR when set and not empty, else the platform
// default (empty if that is unknown).
std::string TokenDir();

// StorePathsFor fills `*out` for device `device_index`. Returns false for a
// negative index or when no token directory is known.
bool StorePathsFor(int32_t device_index, StorePaths *out);

// CheckTokenFolder returns 0 when the token folder `dir` (made or not) and
// the folders above it are in the user's control alone (os.h), else
// XCST_TOKEN_DIR_SHARED (the folder is writable by its group or others) or
// XCST_TOKEN_DIR_FOREIGN (it, or a folder above it, is another account's or
// open to others).
int32_t CheckTokenFolder(const std::string &dir);

// LockTimeoutMs is how long a connect waits for another session's lock:
// $XCSP_TOKEN_LOCK_TIMEOUT_MS when it is a decimal number, else 5000.
unsigned LockTimeoutMs();

// StoreLock holds the exclusive lock of one store until destroyed. Its lock
// file stays open in the process after release, for the next session of the
// same token (one idle opening per lock file).
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock() { Release(); }
  StoreLock(const StoreLock &) = delete;
  StoreLock &operator=(const StoreLock &) = delete;

  // Acquire waits up to LockTimeoutMs() for the lock file `lock_path`, and
  // holds the file that is at that name once it has the lock. Returns 0,
  // XCST_TOKEN_BUSY when another session kept it, or XCST_STORE_IO when the
  // lock file cannot be opened (or is not a regular file).
  int32_t Acquire(const std::string &lock_path);
  void Release();
  // Held says whether this process holds the lock: a forked child never
  // holds its parent's.
  bool Held() const;

  // Swap exchanges two locks with their openings: a lock taken on the side,
  // outside the process mutex, is handed to its session this way.
  void Swap(StoreLock &other);

  // Reaffirm takes the lock back when it was released, and checks that the
  // held lock file is still the one at its name;
  // when it was deleted or replaced meanwhile (a cleaner of stale files), it
  // takes the lock at the name, waiting as Acquire does. Returns 0 (the lock
  // is held through the named file), XCST_TOKEN_BUSY or XCST_STORE_IO.
  // Callers then check that the store is still the one they read: another
  // session may have used the new file meanwhile.
  int32_t Reaffirm();

  // IsKnown says whether the process has an idle opening of `lock_path`,
  // that is, whether a session of that token ended here before.
  static bool IsKnown(const std::string &lock_path);

 private:
  // Reopen drops the lock and the opening and opens the file at the name.
  int32_t Reopen();
  void ForgetIfInherited();

  std::string path_;
  intptr_t file_ = 0;
  bool open_ = false;
  bool held_ = false;
  uint64_t process_ = 0;  // the process that opened `file_`
};

// LoadedStore is one committed content of a store as this process parsed
// it. The state is shared, never changed: a change makes a new one.
struct LoadedStore {
  std::shared_ptr<const TokenState> state;
  StoreStamp stamp;
};

// LoadStore reads the store; the caller holds its lock. Returns 0,
// XCST_NO_TOKEN (no store file), XCST_STORE_CORRUPT, XCST_STORE_VERSION or
// XCST_STORE_IO; `*out` is written only on 0.
//
// The process keeps the last store it parsed for each path, and reuses it
// without parsing when the whole file read checks out with its stamp (a
// digest of the content). Once the file had rested for the settle time
// (kStoreSettleMs) when it was read, less is read: its identity
// (FileIdentity) and header stamp, or where the system keeps the change
// time its identity alone, vouch for it. File times are coarse, and a file
// rewritten in place within one tick of the clock keeps its identity. A
// failed read forgets the path's store and its parsed keys.
int32_t LoadStore(const StorePaths &paths, LoadedStore *out);

// SaveStore replaces the store with `state` at the generation after
// `previous` crash-safely (temporary file, flush, rename), under `lock`,
// which the caller holds (see StoreLock::Reaffirm). Returns 0 and stores
// the new stamp in `*out_stamp`; XCST_STORE_CHANGED when the store is no
// longer the one of `previous` (another session committed through a lock
// file that replaced this one's); XCST_DISK_FULL when the disk had no room
// for it (the room the last commit kept aside included), XCST_TOKEN_BUSY or
// XCST_STORE_IO. On failure the store is left as it is, except after a
// failed flush of the folder (XCST_STORE_IO), when the new store may be in
// place.
int32_t SaveStore(const StorePaths &paths, StoreLock *lock, const TokenState &state,
                  const StoreStamp &previous, StoreStamp *out_stamp);

// ForgetParsedStore drops what this process keeps of the store at
// `store_path`: the parsed store and its keys.
void ForgetParsedStore(const std::string &store_path);

// ForgetAllParsedStores drops everything kept, for every path.
void ForgetAllParsedStores();

// How long after its last change a store must have rested before its
// identity alone vouches for a parsed copy. Covers the coarsest file-time resolution in use (FAT
// keeps 2 seconds).
constexpr unsigned kStoreSettleMs = 2100;

// SetStoreSettleMsForTesting replaces kStoreSettleMs (0 keeps every store
// read; a negative value restores the default).
void SetStoreSettleMsForTesting(int milliseconds);

// SetBeforeRenameHookForTesting installs a function that SaveStore calls
// after the temporary file is complete and before the rename (null removes
// it). Tests use it to kill the process at the worst moment.
void SetBeforeRenameHookForTesting(void (*hook)());

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_STORE_FILE_H

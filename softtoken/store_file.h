// store_file.h — where a device's token store lives, its lock, and reading
// and writing it whole.
#ifndef OBKEY_SOFTTOKEN_STORE_FILE_H
#define OBKEY_SOFTTOKEN_STORE_FILE_H

#include <cstdint>
#include <string>

#include "softtoken/token_state.h"

namespace obkey::softtoken {

// Environment variables read on every connect and format.
constexpr char kTokenDirVariable[] = "XCSP_TOKEN_DIR";
constexpr char kLockTimeoutVariable[] = "XCSP_TOKEN_LOCK_TIMEOUT_MS";
constexpr unsigned kDefaultLockTimeoutMs = 5000;

struct StorePaths {
  std::string dir;
  std::string store;  // token-N.db
  std::string temp;   // token-N.db.tmp, the next store before its rename
  std::string lock;   // token-N.lock
};

// TokenDir is $XCSP_TOKEN_DIR when set and not empty, else the platform
// default (empty if that is unknown).
std::string TokenDir();

// StorePathsFor fills `*out` for device `device_index`. Returns false for a
// negative index or when no token directory is known.
bool StorePathsFor(int32_t device_index, StorePaths *out);

// LockTimeoutMs is how long a connect waits for another session's lock:
// $XCSP_TOKEN_LOCK_TIMEOUT_MS when it is a decimal number, else 5000.
unsigned LockTimeoutMs();

// StoreLock holds the exclusive lock of one store until destroyed.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock() { Release(); }
  StoreLock(const StoreLock &) = delete;
  StoreLock &operator=(const StoreLock &) = delete;

  // Acquire waits up to LockTimeoutMs() for the lock file `lock_path`.
  // Returns 0, XCST_TOKEN_BUSY when another session kept it, or
  // XCST_STORE_IO when the lock file cannot be opened.
  int32_t Acquire(const std::string &lock_path);
  void Release();

 private:
  intptr_t handle_ = 0;
  bool held_ = false;
};

// LoadStore reads the store. Returns 0, XCST_NO_TOKEN (no store file),
// XCST_STORE_CORRUPT, XCST_STORE_VERSION or XCST_STORE_IO; `*out_state` is
// written only on 0.
int32_t LoadStore(const StorePaths &paths, TokenState *out_state);

// SaveStore replaces the store with `state` crash-safely (temporary file,
// flush, rename). Returns 0 or XCST_STORE_IO; on failure the old store stays.
int32_t SaveStore(const StorePaths &paths, const TokenState &state);

// SetBeforeRenameHookForTesting installs a function that SaveStore calls
// after the temporary file is complete and before the rename (null removes
// it). Tests use it to kill the process at the worst moment.
void SetBeforeRenameHookForTesting(void (*hook)());

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_STORE_FILE_H

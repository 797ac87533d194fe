// store_restore.h — a store put back from a copy (obkeyctl's restore).
#ifndef OBKEY_SOFTTOKEN_STORE_RESTORE_H
#define OBKEY_SOFTTOKEN_STORE_RESTORE_H

#include <cstddef>
#include <cstdint>

namespace obkey::softtoken {

// CheckStoreCopy checks a whole store file as a connect checks a store: its
// layout and checksum, and every key (a clear key in full, the public part
// of a sealed one). Returns 0, XCST_STORE_CORRUPT, XCST_STORE_VERSION or
// XCST_STORE_BAD_KEY.
int32_t CheckStoreCopy(const uint8_t *copy, size_t copy_len);

// RestoreStore replaces the store of device `device_index` with the token
// that `copy` (a whole store file) holds, once CheckStoreCopy passes, the
// way a session commits: under the store's lock, written to a temporary
// file created afresh, flushed and renamed over whatever is at the store's
// name (a damaged store, a link or a FIFO is replaced, never written
// through), then the folder flushed. The restored store takes the
// generation after the current store's and the copy's, so that generations
// only grow. The folder is created private when missing. Returns 0,
// CheckStoreCopy's status (nothing is touched then), XCST_NO_TOKEN (no
// token directory is known), XCST_TOKEN_DIR_SHARED, XCST_TOKEN_DIR_FOREIGN,
// XCST_TOKEN_BUSY, XCST_DISK_FULL or XCST_STORE_IO (the store is as it was,
// unless the folder's flush after the rename failed).
int32_t RestoreStore(int32_t device_index, const uint8_t *copy, size_t copy_len);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_STORE_RESTORE_H

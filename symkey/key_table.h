// SymmetricKeyTable: the process-wide record of every symmetric key the
// library has filled, generated or imported.
#ifndef OBKEY_SYMKEY_KEY_TABLE_H
#define OBKEY_SYMKEY_KEY_TABLE_H

#include <stddef.h>

#include <vector>

#include "mutex.h"
#include "obkey_types.h"

namespace obkey {

// The table keeps copies of the callers' DataBlob records as they were when
// the key was filled, in order, duplicates allowed. It never reads, frees or
// searches the key bytes they point at. It is constructed empty when the
// library is loaded and emptied when it is unloaded. Callers on several
// threads may append at once: a lock guards the list, since an unguarded
// append that grows it frees storage another thread is still writing.
class SymmetricKeyTable {
 public:
  void Append(const DataBlob &key) {
    platform::MutexLock hold(mutex_);
    entries_.push_back(key);
  }
  size_t size() const {
    platform::MutexLock hold(mutex_);
    return entries_.size();
  }

 private:
  mutable platform::Mutex mutex_;
  std::vector<DataBlob> entries_;
};

// TheSymmetricKeyTable is the one table of the process.
SymmetricKeyTable &TheSymmetricKeyTable();

}  // namespace obkey

#endif  // OBKEY_SYMKEY_KEY_TABLE_H

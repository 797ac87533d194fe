// SymmetricKeyTable: the process-wide record of every symmetric key the
// library has filled, generated or imported.
#ifndef OBKEY_SYMKEY_KEY_TABLE_H
#define OBKEY_SYMKEY_KEY_TABLE_H

#include <stddef.h>

#include <vector>

#include "api/obkey.h"

namespace obkey {

// The table keeps copies of the callers' DataBlob records as they were when
// the key was filled, in order, duplicates allowed. It never reads, frees or
// searches the key bytes they point at. It is constructed empty when the
// library is loaded and emptied when it is unloaded; like the rest of the
// library it takes no lock, since callers serialise their calls.
class SymmetricKeyTable {
 public:
  void Append(const DataBlob &key) { entries_.push_back(key); }
  size_t size() const { return entries_.size(); }

 private:
  std::vector<DataBlob> entries_;
};

// TheSymmetricKeyTable is the one table of the process.
SymmetricKeyTable &TheSymmetricKeyTable();

}  // namespace obkey

#endif  // OBKEY_SYMKEY_KEY_TABLE_H

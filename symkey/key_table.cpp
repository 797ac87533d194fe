#include "key_table.h"

namespace obkey {

namespace {

// A namespace-scope object: built during the library's static
// initialisation and destroyed, with its entries, when it is unloaded.
SymmetricKeyTable g_symmetric_key_table;

}  // namespace

SymmetricKeyTable &TheSymmetricKeyTable() {
  return g_symmetric_key_table;
}

}  // namespace obkey

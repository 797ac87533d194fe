#include "store_restore.h"

#include <algorithm>

#include "rsa_key.h"
#include "softtoken_os.h"
#include "softtoken_status.h"
#include "store_file.h"
#include "store_format.h"

namespace obkey::softtoken {

namespace {

// CheckKeys parses every key of `state` as a store read whole has them
// parsed: a clear pair in full, the public part of a sealed one.
int32_t CheckKeys(const TokenState &state) {
  for (const Container &container : state.containers) {
    for (const KeySlot &keys : container.keys) {
      RsaKey key;
      int32_t status = 0;
      if (!keys.sealed_key.empty()) {
        status = key.LoadPublic(keys.public_key_der);
      } else if (!keys.private_key_der.empty()) {
        status = key.Load(keys.private_key_der);
      }
      if (status != 0) return status;
    }
  }
  return 0;
}

// CurrentGeneration is the generation in the header of the file at the
// store's name, 0 when there is none or it does not read: a restore is
// how a damaged store is replaced.
uint64_t CurrentGeneration(const StorePaths &paths) {
  os::ReadOnlyFile file;
  uint8_t header[kStoreHeaderSize];
  size_t header_len = 0;
  StoreStamp stamp;
  if (file.Open(paths.store) != os::ReadStatus::kOk ||
      !file.ReadPrefix(header, sizeof(header), &header_len) ||
      !ReadStoreStamp(header, header_len, &stamp)) {
    return 0;
  }
  return stamp.generation;
}

}  // namespace

int32_t CheckStoreCopy(const uint8_t *copy, size_t copy_len) {
  TokenState state;
  if (int32_t status = ParseStore(copy, copy_len, &state)) return status;
  return CheckKeys(state);
}

int32_t RestoreStore(int32_t device_index, const uint8_t *copy, size_t copy_len) {
  TokenState state;
  StoreStamp copy_stamp;
  if (int32_t status = ParseStore(copy, copy_len, &state, &copy_stamp)) return status;
  if (int32_t status = CheckKeys(state)) return status;
  StorePaths paths;
  if (!StorePathsFor(device_index, &paths)) return XCST_NO_TOKEN;
  // As a format: nothing is made in a folder another account controls.
  if (int32_t status = CheckTokenFolder(paths.dir)) return status;
  if (!os::MakePrivateDirs(paths.dir)) return XCST_STORE_IO;
  if (int32_t status = CheckTokenFolder(paths.dir)) return status;
  StoreLock lock;
  if (int32_t status = lock.Acquire(paths.lock)) return status;
  const uint64_t generation = std::max(CurrentGeneration(paths), copy_stamp.generation) + 1;
  const SecretBytes file = SerializeStore(state, generation);
  const os::WriteStatus written = os::ReplaceFileDurably(paths.store, paths.temp, paths.reserve,
                                                         file.data(), file.size(), nullptr);
  ForgetParsedStore(paths.store);
  switch (written) {
    case os::WriteStatus::kOk:
      return 0;
    case os::WriteStatus::kNoSpace:
      return XCST_DISK_FULL;
    default:
      return XCST_STORE_IO;
  }
}

}  // namespace obkey::softtoken

// The container directory: the two container names in one data object,
// read once per connection and kept for a while between reads.
#include "container_directory.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include "connection_reads.h"
#include "module.h"
#include "p11token_os.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

// The container directory: two names of kMaxContainerName + 1 bytes each,
// zero-padded, slot 0 first.
constexpr size_t kNameField = kMaxContainerName + 1;

// The directory object each slot had when last read, with its value: while
// the handle still names it, one call reads it again, and a reading step
// takes the value as it is for a while (LearnedRecently).
struct KnownDirectory {
  uint64_t generation = 0;
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  Bytes value;
  std::chrono::steady_clock::time_point learned;
};
std::map<CK_SLOT_ID, KnownDirectory> known_directories;

void KeepDirectory(const Cryptoki &c, uint64_t objects_generation, CK_OBJECT_HANDLE object,
                   const Bytes &value, std::chrono::steady_clock::time_point learned) {
  os::TablesGuard tables;
  known_directories[c.slot] = KnownDirectory{objects_generation, object, value, learned};
}

bool ReadKnownDirectory(const Cryptoki &c, Bytes *out_value) {
  KnownDirectory directory;
  {
    os::TablesGuard tables;
    auto it = known_directories.find(c.slot);
    if (it == known_directories.end() || it->second.generation != ObjectsGeneration()) return false;
    directory = it->second;
  }
  if (LearnedRecently(directory.learned)) {
    *out_value = directory.value;
    return true;
  }
  const auto now = std::chrono::steady_clock::now();
  std::string label(std::strlen(kContainersLabel), '\0');
  out_value->assign(directory.value.size(), 0);
  CK_ATTRIBUTE attributes[] = {
      {CKA_LABEL, label.data(), static_cast<CK_ULONG>(label.size())},
      {CKA_VALUE, out_value->data(), static_cast<CK_ULONG>(out_value->size())},
  };
  CK_RV rv = c.functions->C_GetAttributeValue(c.session, directory.object, attributes, 2);
  if (rv == CKR_OK && label == kContainersLabel &&
      attributes[1].ulValueLen == directory.value.size()) {
    KeepDirectory(c, directory.generation, directory.object, *out_value, now);
    return true;
  }
  os::TablesGuard tables;
  known_directories.erase(c.slot);
  return false;
}

// DirectoryValue reads the directory's value (empty: none).
int32_t DirectoryValue(const Cryptoki &c, Bytes *out_value) {
  if (RememberedRead(c, kContainersLabel, out_value)) return 0;
  uint64_t objects_generation = ObjectsGeneration();
  if (!ReadKnownDirectory(c, out_value)) {
    int32_t status = WhileReplaced([&] {
      const auto now = std::chrono::steady_clock::now();
      std::vector<CK_OBJECT_HANDLE> objects;
      out_value->clear();
      if (int32_t failed = FindDataObjects(c, kContainersLabel, &objects)) return failed;
      if (objects.empty()) return 0;
      if (int32_t failed = ReadAttribute(c, objects.front(), CKA_VALUE, out_value)) return failed;
      KeepDirectory(c, objects_generation, objects.front(), *out_value, now);
      return 0;
    });
    if (status != 0) return status == P11ST_BAD_HANDLE ? P11ST_CHANGED : status;
  }
  RememberRead(c, kContainersLabel, *out_value);
  return 0;
}

}  // namespace

int32_t ReadContainerNames(const Cryptoki &c, ContainerNames *out_names) {
  Bytes value;
  if (int32_t status = DirectoryValue(c, &value)) return status;
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    (*out_names)[slot].clear();
    // Someone else's object of that label, or a damaged one, is read as far
    // as it is well-formed.
    if (value.size() < (slot + 1) * kNameField) continue;
    const char *field = reinterpret_cast<const char *>(value.data() + slot * kNameField);
    (*out_names)[slot].assign(field, std::find(field, field + kMaxContainerName, '\0'));
  }
  return 0;
}

int32_t WriteContainerNames(const Cryptoki &c, const ContainerNames &names) {
  Bytes value(kContainerSlots * kNameField, 0);
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    std::memcpy(value.data() + slot * kNameField, names[slot].data(),
                names[slot].size() < kMaxContainerName ? names[slot].size() : kMaxContainerName);
  }
  Bytes read;
  if (int32_t status = DirectoryValue(c, &read)) return status;
  int32_t status = ReplaceDataObject(c, kContainersLabel, read.empty() ? nullptr : &read, value);
  if (status == 0) RememberRead(c, kContainersLabel, value);
  // A connection that lost a race sees the directory afresh next time.
  if (status == P11ST_CHANGED) ForgetRead(c, kContainersLabel);
  return status;
}

}  // namespace obkey::p11token

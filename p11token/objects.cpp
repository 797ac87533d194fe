#include "objects.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>

#include "module.h"
#include "p11token_os.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

const CK_BBOOL kTrue = CK_TRUE;
const CK_BBOOL kFalse = CK_FALSE;
const CK_OBJECT_CLASS kDataClass = CKO_DATA;
// How long a replacement lets another writer's replacement settle.
constexpr int kSettleMs = 200;

// The container directory: two names of kMaxContainerName + 1 bytes each,
// zero-padded, slot 0 first.
constexpr size_t kNameField = kMaxContainerName + 1;

}  // namespace

std::string KeyLabel(const std::string &container_name, uint32_t key_type) {
  return container_name + (key_type == 1 ? "/exchange" : "/signature");
}

Bytes KeyId(uint32_t container_slot, uint32_t key_type) {
  return {static_cast<uint8_t>(container_slot), static_cast<uint8_t>(key_type)};
}

namespace {

constexpr char kFileLabelPrefix[] = "obkey file ";

}  // namespace

std::string FileLabel(uint32_t number) {
  return kFileLabelPrefix + std::to_string(number);
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void *value, size_t value_len) {
  return CK_ATTRIBUTE{type, const_cast<void *>(value), static_cast<CK_ULONG>(value_len)};
}

CK_ATTRIBUTE BoolAttr(CK_ATTRIBUTE_TYPE type, bool value) {
  return Attr(type, value ? &kTrue : &kFalse, sizeof(CK_BBOOL));
}

CK_ATTRIBUTE UlongAttr(CK_ATTRIBUTE_TYPE type, const CK_ULONG *value) {
  return Attr(type, value, sizeof(CK_ULONG));
}

int32_t FindObjects(const Cryptoki &c, std::vector<CK_ATTRIBUTE> tmpl,
                    std::vector<CK_OBJECT_HANDLE> *out_objects) {
  out_objects->clear();
  CK_RV rv =
      c.functions->C_FindObjectsInit(c.session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
  if (rv != CKR_OK) return StatusFromCkr(rv);
  CK_OBJECT_HANDLE batch[16];
  CK_ULONG found = 0;
  do {
    rv = c.functions->C_FindObjects(c.session, batch, 16, &found);
    if (rv != CKR_OK) break;
    out_objects->insert(out_objects->end(), batch, batch + found);
  } while (found == 16);
  CK_RV final_rv = c.functions->C_FindObjectsFinal(c.session);
  return StatusFromCkr(rv != CKR_OK ? rv : final_rv);
}

int32_t FindLabelled(const Cryptoki &c, CK_OBJECT_CLASS object_class, const std::string &label,
                     std::vector<CK_OBJECT_HANDLE> *out_objects) {
  return FindObjects(c,
                     {Attr(CKA_CLASS, &object_class, sizeof(object_class)),
                      Attr(CKA_LABEL, label.data(), label.size())},
                     out_objects);
}

int32_t ReadAttribute(const Cryptoki &c, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                      Bytes *out_value) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  CK_RV rv = c.functions->C_GetAttributeValue(c.session, object, &attribute, 1);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) return StatusFromCkr(CKR_GENERAL_ERROR);
  out_value->assign(attribute.ulValueLen, 0);
  attribute.pValue = out_value->data();
  rv = c.functions->C_GetAttributeValue(c.session, object, &attribute, 1);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  out_value->resize(attribute.ulValueLen);
  return 0;
}

int32_t DestroyObjects(const Cryptoki &c, const std::vector<CK_OBJECT_HANDLE> &objects) {
  int32_t first_failure = 0;
  for (CK_OBJECT_HANDLE object : objects) {
    int32_t status = StatusFromCkr(c.functions->C_DestroyObject(c.session, object));
    if (first_failure == 0) first_failure = status;
  }
  return first_failure;
}

namespace {

int32_t FindDataObjects(const Cryptoki &c, const std::string &label,
                        std::vector<CK_OBJECT_HANDLE> *out_objects) {
  return FindObjects(c,
                     {Attr(CKA_CLASS, &kDataClass, sizeof(kDataClass)),
                      Attr(CKA_APPLICATION, kApplication, std::strlen(kApplication)),
                      Attr(CKA_LABEL, label.data(), label.size())},
                     out_objects);
}

}  // namespace

int32_t ReadDataObject(const Cryptoki &c, const std::string &label, bool *out_found,
                       Bytes *out_value) {
  int32_t status = WhileReplaced([&] {
    std::vector<CK_OBJECT_HANDLE> objects;
    if (int32_t failed = FindDataObjects(c, label, &objects)) return failed;
    *out_found = !objects.empty();
    if (objects.empty()) return 0;
    return ReadAttribute(c, objects.front(), CKA_VALUE, out_value);
  });
  // Destroyed between the find and the read, each time: by other writers.
  return status == P11ST_BAD_HANDLE ? P11ST_CHANGED : status;
}

namespace {

// AnyGone says whether one of `objects` no longer exists.
bool AnyGone(const Cryptoki &c, const std::vector<CK_OBJECT_HANDLE> &objects) {
  for (CK_OBJECT_HANDLE object : objects) {
    CK_OBJECT_CLASS object_class = 0;
    CK_ATTRIBUTE attribute{CKA_CLASS, &object_class, sizeof(object_class)};
    CK_RV rv = c.functions->C_GetAttributeValue(c.session, object, &attribute, 1);
    if (rv == CKR_OBJECT_HANDLE_INVALID) return true;
  }
  return false;
}

}  // namespace

int32_t CommitReplacement(const Cryptoki &c, const std::vector<CK_OBJECT_HANDLE> &old,
                          const std::vector<CK_OBJECT_HANDLE> &created,
                          const std::vector<CK_OBJECT_HANDLE> &now) {
  std::vector<CK_OBJECT_HANDLE> expected = old;
  expected.insert(expected.end(), created.begin(), created.end());
  std::vector<CK_OBJECT_HANDLE> seen = now;
  std::sort(expected.begin(), expected.end());
  std::sort(seen.begin(), seen.end());
  if (seen != expected) {
    DestroyObjects(c, created);
    return P11ST_CHANGED;
  }
  int32_t status = DestroyObjects(c, old);
  if (status == 0 || !AnyGone(c, old)) return status;
  // Another writer destroyed an old object first (SoftHSMv2 answers
  // CKR_FUNCTION_FAILED when its file is gone): its replacement is the
  // current one, which this module instance may not show yet.
  DestroyObjects(c, created);
  return P11ST_CHANGED;
}

int32_t DataRefusal(CK_RV rv) {
  int32_t status = StatusFromCkr(rv);
  // A refusal that has no interface status keeps its CKR_ value, in a range
  // that says what was refused.
  if ((static_cast<uint32_t>(status) & 0xFFFF0000u) != P11ST_CKR_BASE) return status;
  return static_cast<int32_t>(P11ST_DATA_REFUSED_BASE | (static_cast<uint32_t>(status) & 0xFFFFu));
}

namespace {

// CreateDataObject makes our data object, public where the module allows.
int32_t CreateDataObject(const Cryptoki &c, const std::string &label, const Bytes &value,
                         CK_OBJECT_HANDLE *out) {
  CK_RV rv = CKR_OK;
  for (bool is_private : {false, true}) {
    std::vector<CK_ATTRIBUTE> tmpl = {
        Attr(CKA_CLASS, &kDataClass, sizeof(kDataClass)),
        BoolAttr(CKA_TOKEN, true),
        BoolAttr(CKA_PRIVATE, is_private),
        BoolAttr(CKA_MODIFIABLE, true),
        Attr(CKA_APPLICATION, kApplication, std::strlen(kApplication)),
        Attr(CKA_LABEL, label.data(), label.size()),
        Attr(CKA_VALUE, value.data(), value.size()),
    };
    rv = c.functions->C_CreateObject(c.session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()),
                                     out);
    // A module that refuses public data objects (tpm2-pkcs11) may take
    // private ones; those need the login to be seen.
    bool refused = rv == CKR_ATTRIBUTE_VALUE_INVALID || rv == CKR_TEMPLATE_INCONSISTENT;
    if (!refused) break;
  }
  return DataRefusal(rv);
}

}  // namespace

int32_t ReplaceDataObject(const Cryptoki &c, const std::string &label, const Bytes *expected,
                          const Bytes &value) {
  std::vector<CK_OBJECT_HANDLE> old_objects;
  if (int32_t status = FindDataObjects(c, label, &old_objects)) return status;
  // Two current versions: another writer's replacement under way (over a
  // network, where no lock reaches), or one interrupted for good. The
  // first settles in a moment and this write is then overtaken; the second
  // stays as it is, and is replaced whole.
  if (old_objects.size() > 1) {
    os::Pause(kSettleMs);
    std::vector<CK_OBJECT_HANDLE> again;
    if (int32_t status = FindDataObjects(c, label, &again)) return status;
    std::sort(again.begin(), again.end());
    std::vector<CK_OBJECT_HANDLE> before = old_objects;
    std::sort(before.begin(), before.end());
    if (again != before) return P11ST_CHANGED;
  }
  // Read again before replacing: it must be what this connection read.
  if (old_objects.empty() != (expected == nullptr)) return P11ST_CHANGED;
  if (expected != nullptr) {
    Bytes current;
    int32_t status = ReadAttribute(c, old_objects.front(), CKA_VALUE, &current);
    if (status == P11ST_BAD_HANDLE || (status == 0 && current != *expected)) {
      return P11ST_CHANGED;
    }
    if (status != 0) return status;
  }
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  if (int32_t status = CreateDataObject(c, label, value, &created)) return status;
  std::vector<CK_OBJECT_HANDLE> now;
  if (int32_t status = FindDataObjects(c, label, &now)) {
    DestroyObjects(c, {created});
    return status;
  }
  return CommitReplacement(c, old_objects, {created}, now);
}

namespace {

// The value of each data object as the connection last read or wrote it
// (none: the connection deleted it). These tables are used under the tables
// lock.
using ConnectionName = std::pair<uint32_t, std::string>;
std::map<ConnectionName, std::optional<Bytes>> connection_reads;

// Why the connection's last create of an object failed, for the open that
// follows it.
std::map<ConnectionName, int32_t> failed_creates;

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

void RememberRead(const Cryptoki &c, const std::string &label, const Bytes &value) {
  os::TablesGuard tables;
  if (c.connection != 0) connection_reads[{c.connection, label}] = value;
}

bool RememberedRead(const Cryptoki &c, const std::string &label, Bytes *out_value) {
  os::TablesGuard tables;
  auto it = connection_reads.find({c.connection, label});
  if (c.connection == 0 || it == connection_reads.end() || !it->second) return false;
  *out_value = *it->second;
  return true;
}

void RememberDeleted(const Cryptoki &c, const std::string &label) {
  os::TablesGuard tables;
  if (c.connection != 0) connection_reads[{c.connection, label}] = std::nullopt;
}

void RememberFailedCreate(const Cryptoki &c, const std::string &name, int32_t status) {
  os::TablesGuard tables;
  if (c.connection == 0) return;
  if (status == 0) {
    failed_creates.erase({c.connection, name});
  } else {
    failed_creates[{c.connection, name}] = status;
  }
}

int32_t OpenAfterFailedCreate(const Cryptoki &c, const std::string &name, int32_t open_status) {
  os::TablesGuard tables;
  auto it = failed_creates.find({c.connection, name});
  if (it == failed_creates.end()) return open_status;
  int32_t create_status = it->second;
  failed_creates.erase(it);
  // An overtaken create means that what the caller read before is out of
  // date, whatever the open finds: the caller starts again from a fresh read.
  return open_status != 0 || create_status == P11ST_CHANGED ? create_status : 0;
}

void ForgetRead(const Cryptoki &c, const std::string &label) {
  os::TablesGuard tables;
  connection_reads.erase({c.connection, label});
}

int32_t FileReadsHold(const Cryptoki &c, uint32_t read_now, const Bytes *read_value) {
  if (c.connection == 0) return 0;
  const std::string prefix = kFileLabelPrefix;
  const std::string read_now_label = FileLabel(read_now);
  std::vector<std::pair<std::string, std::optional<Bytes>>> kept;
  {
    os::TablesGuard tables;
    for (auto it = connection_reads.lower_bound({c.connection, prefix});
         it != connection_reads.end() && it->first.first == c.connection &&
         it->first.second.compare(0, prefix.size(), prefix) == 0;
         ++it) {
      kept.emplace_back(it->first.second, it->second);
    }
  }
  for (const auto &[label, value] : kept) {
    bool found = read_value != nullptr;
    Bytes now;
    int32_t status = 0;
    if (label == read_now_label) {
      if (found) now = *read_value;
    } else {
      status = ReadDataObject(c, label, &found, &now);
    }
    // A file the connection deleted must still be missing.
    bool holds = value ? found && now == *value : !found;
    if (status == 0 && holds) continue;
    if (status != 0 && status != P11ST_CHANGED) return status;
    for (const auto &forgotten : kept) ForgetRead(c, forgotten.first);
    return P11ST_CHANGED;
  }
  return 0;
}

void ForgetConnection(uint32_t connection) {
  os::TablesGuard tables;
  auto forget = [connection](auto *table) {
    auto first = table->lower_bound({connection, std::string()});
    auto last = first;
    while (last != table->end() && last->first.first == connection) ++last;
    table->erase(first, last);
  };
  forget(&connection_reads);
  forget(&failed_creates);
}

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

int32_t RequireLogin(const Cryptoki &c) {
  CK_SESSION_INFO info{};
  CK_RV rv = c.functions->C_GetSessionInfo(c.session, &info);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  if (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) return 0;
  return P11ST_NOT_LOGGED_IN;
}

}  // namespace obkey::p11token

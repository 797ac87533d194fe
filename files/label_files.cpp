#include "label_files.h"

#include <cstring>
#include <optional>
#include <vector>

#include "label_directory.h"
#include "obkey_status.h"
#include "obkey_types.h"
#include "token_session.h"
#include "xcsp_eclib.h"

// The label list that callers read is the directory's records as they are.
static_assert(OB_LABEL_COUNT == obkey::kLabelRecordCount &&
                  OB_LABEL_SLOT_SIZE == obkey::kLabelRecordSize && OB_LABEL_MAX == obkey::kLabelMax,
              "the label list of the interface differs from the label directory");

namespace obkey {

namespace {

// A reserved label and the certificate behind it. Reads that fail with the
// label's own key specification are tried once more with the other one.
struct ReservedLabel {
  const char *label;
  uint32_t slot;
  uint32_t key_spec;
  uint32_t fallback_key_spec;
};

constexpr ReservedLabel kReservedLabels[] = {
    {OB_LABEL_USERCERT_ENC, XC_SLOT_EXCHANGE, XC_KEY_EXCHANGE, XC_KEY_SIGNATURE},
    {OB_LABEL_USERCERT_SIG, XC_SLOT_SIGNATURE, XC_KEY_SIGNATURE, XC_KEY_EXCHANGE},
};

const ReservedLabel *ReservedLabelOf(const char *label) {
  for (const ReservedLabel &reserved : kReservedLabels) {
    if (std::strcmp(label, reserved.label) == 0) return &reserved;
  }
  return nullptr;
}

// A label must leave room for its terminator in the 19-byte field.
bool IsStorableLabel(const char *label) {
  if (label == nullptr) return false;
  for (size_t i = 0; i <= kLabelMax; ++i) {
    if (label[i] == '\0') return true;
  }
  return false;
}

int32_t WriteReservedCert(XcHandle session, const ReservedLabel &reserved, const uint8_t *data,
                          uint32_t data_len) {
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session, reserved.slot, &container);
  if (status != 0) return status;
  return XC_WriteCert(container, data, data_len, reserved.key_spec);
}

int32_t ReadReservedCert(XcHandle session, const ReservedLabel &reserved, uint8_t *out,
                         uint32_t *inout_len) {
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session, reserved.slot, &container);
  if (status != 0) return status;
  const uint32_t capacity = *inout_len;
  status = XC_ReadCert(container, out, inout_len, reserved.key_spec);
  if (status == 0) return OB_OK;
  const uint32_t first_len = *inout_len;
  // A failed read may have left a needed length behind; the buffer still
  // holds only `capacity` bytes.
  *inout_len = capacity;
  int32_t fallback = XC_ReadCert(container, out, inout_len, reserved.fallback_key_spec);
  // No certificate under the other specification either: the first read's
  // answer (a short buffer and the length it needs) is the one that holds.
  if (fallback == XCST_CERT_NOT_FOUND) {
    *inout_len = first_len;
    return status;
  }
  return fallback;
}

// Over a PKCS #11 token, another program may change the label directory
// between the steps of one label call. The token then refuses the step that
// would act on the old view (P11ST_CHANGED), having changed nothing of the
// other program's, and the call starts again from a fresh read of the
// directory. A few times: each means another program's change came between.
constexpr int kLabelCallTries = 8;

template <typename Attempt>
int32_t UntilDirectoryHolds(Attempt attempt) {
  int32_t status = attempt();
  for (int tries = 1; status == P11ST_CHANGED && tries < kLabelCallTries; ++tries) {
    status = attempt();
  }
  return status;
}

enum class NewDirectory { kAsCreated, kZeroed };

// The longest directory file read whole: more than any token's file space.
constexpr uint32_t kLongestDirectoryFile = 1u << 24;

// A create (mode 5) is expected to fail for a file that exists, and the open
// (mode 9) that follows it then succeeds. When the open finds no file
// either, the create failed for a cause of its own (a full file space), and
// that cause is the one to report, not the missing file.
int32_t CauseOfFailedOpen(int32_t create_status, int32_t open_status) {
  return open_status == XCST_FILE_NOT_FOUND ? create_status : open_status;
}

// OpenLabelDirectory opens user file 1, creating it when it is missing, and
// reads it into `*out_directory`. Only an import zeroes a directory it has
// just created; the others read whatever the token gives a new file.
int32_t OpenLabelDirectory(XcHandle session, NewDirectory new_directory, XcHandle *out_dir,
                           LabelDirectory *out_directory) {
  bool created = true;
  int32_t status =
      XC_CreateUserFile(session, kLabelDirFile, kLabelDirSize, XC_USER_FILE_CREATE, out_dir);
  if (status != 0) {
    created = false;
    int32_t opened =
        XC_CreateUserFile(session, kLabelDirFile, kLabelDirSize, XC_USER_FILE_OPEN, out_dir);
    if (opened != 0) return CauseOfFailedOpen(status, opened);
  }
  if (created && new_directory == NewDirectory::kZeroed) {
    const LabelDirectory empty;
    status = XC_WriteUserFile(*out_dir, empty.bytes(), kLabelDirSize);
    if (status != 0) return status;
  }
  uint32_t len = kLabelDirSize;
  status = XC_ReadUserFile(*out_dir, out_directory->bytes(), &len);
  if (status != XCST_BUFFER_TOO_SMALL || len <= kLabelDirSize || len > kLongestDirectoryFile) {
    return status;
  }
  // Another client made user file 1 longer than the directory: the
  // directory is its first 200 bytes, and a token that reads only whole
  // files hands them over with the rest.
  std::vector<uint8_t> whole(len);
  status = XC_ReadUserFile(*out_dir, whole.data(), &len);
  if (status == 0 && len >= kLabelDirSize) {
    std::memcpy(out_directory->bytes(), whole.data(), kLabelDirSize);
  }
  return status;
}

// FoundLabel is the label directory, opened as it is, and where a label is
// in it.
struct FoundLabel {
  XcHandle dir = 0;
  LabelDirectory directory;
  std::optional<size_t> record;
};

int32_t FindLabel(XcHandle session, const char *label, FoundLabel *out) {
  int32_t status =
      OpenLabelDirectory(session, NewDirectory::kAsCreated, &out->dir, &out->directory);
  if (status == 0) out->record = out->directory.Find(label);
  return status;
}

// CreateEmptyDataFile gives user file `number` a new file of exactly `size`
// bytes, deleting the one that is there.
int32_t CreateEmptyDataFile(XcHandle session, uint32_t number, uint32_t size, XcHandle *out_file) {
  int32_t created = XC_CreateUserFile(session, number, size, XC_USER_FILE_CREATE, out_file);
  if (created == 0) return OB_OK;
  int32_t status = XC_CreateUserFile(session, number, size, XC_USER_FILE_OPEN, out_file);
  if (status != 0) return CauseOfFailedOpen(created, status);
  status = XC_DeleteUserFile(*out_file);
  if (status != 0) return status;
  return XC_CreateUserFile(session, number, size, XC_USER_FILE_CREATE, out_file);
}

}  // namespace

int32_t ImportLabelledFile(const char *label, uint32_t store_selector, const uint8_t *data,
                           uint32_t data_len) {
  if (!IsStorableLabel(label) || data == nullptr) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  if (const ReservedLabel *reserved = ReservedLabelOf(label)) {
    int32_t status = WriteReservedCert(session.handle(), *reserved, data, data_len);
    if (status != 0) return status;
  }
  if (store_selector != OB_STORE_LABELS) return OB_OK;
  return UntilDirectoryHolds([&] {
    XcHandle dir = 0;
    LabelDirectory directory;
    int32_t status = OpenLabelDirectory(session.handle(), NewDirectory::kZeroed, &dir, &directory);
    if (status != 0) return status;
    std::optional<size_t> target = directory.Find(label);
    if (!target) target = directory.FirstFree();
    if (!target) return OB_E_ARGUMENT;

    XcHandle file = 0;
    status =
        CreateEmptyDataFile(session.handle(), LabelDirectory::DataFileOf(*target), data_len, &file);
    if (status != 0) return status;
    // Data before directory: a failure in between leaves an orphan file,
    // never a label that points at missing data.
    status = XC_WriteUserFile(file, data, data_len);
    if (status != 0) return status;
    directory.Set(*target, label);
    return XC_WriteUserFile(dir, directory.bytes(), kLabelDirSize);
  });
}

int32_t ExportLabelledFile(const char *label, uint32_t store_selector, uint8_t *out,
                           uint32_t *inout_len) {
  if (!IsStorableLabel(label) || out == nullptr || inout_len == nullptr) return OB_E_ARGUMENT;
  const uint32_t capacity = *inout_len;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  if (const ReservedLabel *reserved = ReservedLabelOf(label)) {
    int32_t status = ReadReservedCert(session.handle(), *reserved, out, inout_len);
    if (status != 0) return status;
  }
  if (store_selector != OB_STORE_LABELS) return OB_OK;
  return UntilDirectoryHolds([&] {
    FoundLabel found;
    int32_t status = FindLabel(session.handle(), label, &found);
    if (status != 0) return status;
    if (!found.record) return OB_E_ARGUMENT;

    // The labelled file answers with the whole buffer, whatever length a
    // certificate read left behind.
    *inout_len = capacity;
    XcHandle file = 0;
    status = XC_CreateUserFile(session.handle(), LabelDirectory::DataFileOf(*found.record),
                               capacity, XC_USER_FILE_OPEN, &file);
    if (status != 0) return status;
    return XC_ReadUserFile(file, out, inout_len);
  });
}

int32_t DeleteLabelledFile(const char *label, uint32_t store_selector) {
  if (!IsStorableLabel(label)) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  if (store_selector != OB_STORE_LABELS) return OB_OK;
  return UntilDirectoryHolds([&] {
    FoundLabel found;
    int32_t status = FindLabel(session.handle(), label, &found);
    if (status != 0) return status;
    if (!found.record) return static_cast<int32_t>(OB_OK);

    found.directory.Clear(*found.record);
    status = XC_WriteUserFile(found.dir, found.directory.bytes(), kLabelDirSize);
    if (status != 0) return status;
    // The file is opened only to be deleted: no size applies.
    XcHandle file = 0;
    status = XC_CreateUserFile(session.handle(), LabelDirectory::DataFileOf(*found.record), 0,
                               XC_USER_FILE_OPEN, &file);
    if (status != 0) return status;
    return XC_DeleteUserFile(file);
  });
}

int32_t ReadLabelList(uint32_t store_selector, uint8_t *out_list, uint32_t *out_count) {
  if (out_count == nullptr) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  if (store_selector != OB_STORE_LABELS) return OB_OK;

  XcHandle dir = 0;
  LabelDirectory directory;
  int32_t status = OpenLabelDirectory(session.handle(), NewDirectory::kAsCreated, &dir, &directory);
  if (status != 0) return status;
  uint32_t count = 0;
  for (size_t i = 0; i < kLabelRecordCount; ++i) {
    const LabelRecord &record = directory.record(i);
    if (!record.in_use()) continue;
    if (out_list != nullptr) {
      std::memcpy(out_list + kLabelRecordSize * count, record.label, kLabelFieldSize);
    }
    ++count;
  }
  *out_count = count;
  return OB_OK;
}

}  // namespace obkey

// The label directory: user file 1 of the token, 200 bytes, ten records of
// 20 bytes that map a label to the user file holding its data.
#ifndef OBKEY_FILES_LABEL_DIRECTORY_H
#define OBKEY_FILES_LABEL_DIRECTORY_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <optional>

namespace obkey {

inline constexpr uint32_t kLabelDirFile = 1;
inline constexpr uint32_t kLabelDirSize = 200;
inline constexpr size_t kLabelRecordCount = 10;
inline constexpr size_t kLabelRecordSize = 20;
inline constexpr size_t kLabelFieldSize = 19;
// The longest label: its terminator must still fit the field.
inline constexpr size_t kLabelMax = kLabelFieldSize - 1;
inline constexpr uint8_t kLabelInUse = 0x55;  // 'U'
inline constexpr uint32_t kFirstDataFile = 2;

// LabelRecord is one directory record as it lies on the token: a state byte
// (0x55 in use, anything else free) and the label, zero-padded.
struct LabelRecord {
  uint8_t state;
  char label[kLabelFieldSize];

  bool in_use() const { return state == kLabelInUse; }
  // Matches is true for a record in use whose label field holds `label`
  // (a zero-terminated text), byte for byte.
  bool Matches(const char *label) const;
};
static_assert(sizeof(LabelRecord) == kLabelRecordSize, "a record is 20 bytes on the token");

// LabelDirectory is a working copy of the directory, read and written whole.
// It starts zero-filled, so a short read leaves free records behind it.
class LabelDirectory {
 public:
  LabelDirectory() = default;

  // bytes is the 200-byte image to read into and write from.
  uint8_t *bytes() { return reinterpret_cast<uint8_t *>(records_.data()); }
  const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(records_.data()); }

  const LabelRecord &record(size_t index) const { return records_[index]; }

  // Find is the index of the first record in use holding `label`.
  std::optional<size_t> Find(const char *label) const;
  // FirstFree is the index of the lowest record not in use.
  std::optional<size_t> FirstFree() const;
  // Set marks record `index` in use for `label` (at most 18 bytes), zeroing
  // whatever the record held before.
  void Set(size_t index, const char *label);
  // Clear frees record `index`; its label bytes stay until it is reused.
  void Clear(size_t index);

  // DataFileOf is the user file number that holds the data of record `index`.
  static uint32_t DataFileOf(size_t index) { return kFirstDataFile + static_cast<uint32_t>(index); }

 private:
  std::array<LabelRecord, kLabelRecordCount> records_{};
};
static_assert(sizeof(LabelDirectory) == kLabelDirSize, "the directory is 200 bytes on the token");

}  // namespace obkey

#endif  // OBKEY_FILES_LABEL_DIRECTORY_H

#include "label_directory.h"

#include <cstring>

namespace obkey {

bool LabelRecord::Matches(const char *text) const {
  if (!in_use()) return false;
  // A field written by someone else may lack its terminator; such a field
  // is 19 bytes long and can equal no label that fits.
  size_t field_len = 0;
  while (field_len < kLabelFieldSize && label[field_len] != '\0') ++field_len;
  return std::strlen(text) == field_len && std::memcmp(label, text, field_len) == 0;
}

std::optional<size_t> LabelDirectory::Find(const char *label) const {
  for (size_t i = 0; i < records_.size(); ++i) {
    if (records_[i].Matches(label)) return i;
  }
  return std::nullopt;
}

std::optional<size_t> LabelDirectory::FirstFree() const {
  for (size_t i = 0; i < records_.size(); ++i) {
    if (!records_[i].in_use()) return i;
  }
  return std::nullopt;
}

void LabelDirectory::Set(size_t index, const char *label) {
  LabelRecord &record = records_[index];
  record = LabelRecord{};
  record.state = kLabelInUse;
  // The zeroed record supplies the terminator; a longer label is cut rather
  // than let run into the next record.
  size_t len = 0;
  while (len < kLabelMax && label[len] != '\0') ++len;
  std::memcpy(record.label, label, len);
}

void LabelDirectory::Clear(size_t index) {
  records_[index].state = 0;
}

}  // namespace obkey

// Key names and file labels of any content. The four key names formed for a
// container name are that name and the fixed suffixes, inside their 151-byte
// records, and read back as the pairs they name; the property query on any
// name writes at most its four bytes; the label directory finds what it was
// given, in a directory image of any content.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "key_names.h"
#include "label_directory.h"
#include "obkey.h"

namespace {

constexpr uint32_t kKeyNameRecordLen = 151;
constexpr uint8_t kCanary = 0xA5;

void CheckFormedNames(const std::string &container) {
  std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(kKeyNameRecordLen + 1, 0xEE));
  DataBlob records[4];
  for (int i = 0; i < 4; ++i) {
    buffers[i][kKeyNameRecordLen] = kCanary;
    records[i] = {0, buffers[i].data()};
  }
  int32_t status = OB_FindContainerAndKeypair(container.c_str(), &records[0], &records[1],
                                              &records[2], &records[3]);
  if ((status == 0) != (container.size() <= 147)) __builtin_trap();
  const char digits[4] = {'3', '4', '1', '2'};
  for (int i = 0; i < 4; ++i) {
    if (buffers[i][kKeyNameRecordLen] != kCanary) __builtin_trap();
    if (status != 0) continue;
    const char *name = reinterpret_cast<const char *>(buffers[i].data());
    if (std::memchr(name, '\0', kKeyNameRecordLen) == nullptr) __builtin_trap();
    if (name != container + "\\0" + digits[i]) __builtin_trap();
    char digit = 0;
    if (!obkey::KeyNameDigit(name, &digit) || digit != digits[i]) __builtin_trap();
    uint32_t key_type = obkey::PairOfDigit(digit);
    if (key_type != (i < 2 ? OB_KEY_TYPE_SIGNATURE : OB_KEY_TYPE_EXCHANGE)) __builtin_trap();
  }
}

void CheckPropertyQuery(const std::string &name, uint32_t property, uint32_t capacity) {
  std::vector<uint8_t> text(name.begin(), name.end());
  text.push_back('\0');
  DataBlob key_name{static_cast<uint32_t>(text.size()), text.data()};
  uint8_t out[5] = {0, 0, 0, 0, kCanary};
  uint32_t len = capacity;
  OB_GetKeyProperty(&key_name, property, out, &len);
  if (out[4] != kCanary) __builtin_trap();
}

void CheckContainerKeywords(const std::string &name) {
  if (obkey::NameFitsKeyType(name.c_str(), OB_KEY_TYPE_EXCHANGE) !=
          (name.find(obkey::kExchangeKeyword) != std::string::npos) ||
      obkey::NameFitsKeyType(name.c_str(), OB_KEY_TYPE_SIGNATURE) !=
          (name.find(obkey::kSignatureKeyword) != std::string::npos)) {
    __builtin_trap();
  }
}

void CheckLabelDirectory(const uint8_t *image, size_t image_len, const std::string &label) {
  obkey::LabelDirectory directory;
  std::memcpy(directory.bytes(), image, image_len);
  if (auto found = directory.Find(label.c_str())) {
    if (!directory.record(*found).Matches(label.c_str())) __builtin_trap();
  }
  if (label.empty() || label.size() > obkey::kLabelMax) return;
  auto free_index = directory.FirstFree();
  if (!free_index) return;
  directory.Set(*free_index, label.c_str());
  auto found = directory.Find(label.c_str());
  if (!found || *found > *free_index || !directory.record(*free_index).Matches(label.c_str())) {
    __builtin_trap();
  }
  directory.Clear(*free_index);
  if (directory.record(*free_index).in_use()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint32_t property = data[0] % 10;
  const uint32_t capacity = data[1] % 6;
  data += 2;
  size -= 2;
  // The directory image is the front of the input when there is enough.
  const size_t image_len = size >= obkey::kLabelDirSize ? obkey::kLabelDirSize : 0;
  const std::string rest(reinterpret_cast<const char *>(data + image_len), size - image_len);
  const std::string name = rest.substr(0, rest.find('\0'));

  CheckFormedNames(name);
  CheckPropertyQuery(name, property, capacity);
  CheckContainerKeywords(name);
  CheckLabelDirectory(data, image_len, name);
  return 0;
}

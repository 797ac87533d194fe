#include "key_names.h"

#include <cstring>

namespace obkey {

bool ContainsKeyword(const char *container_name, const char *keyword) {
  return container_name != nullptr && std::strstr(container_name, keyword) != nullptr;
}

bool NameFitsKeyType(const char *container_name, uint32_t key_type) {
  if (key_type == OB_KEY_TYPE_EXCHANGE) return ContainsKeyword(container_name, kExchangeKeyword);
  if (key_type == OB_KEY_TYPE_SIGNATURE) return ContainsKeyword(container_name, kSignatureKeyword);
  return false;
}

void WriteKeyName(uint8_t *out, const char *container_name, const char *suffix) {
  size_t name_len = std::strlen(container_name);
  size_t suffix_len = std::strlen(suffix);
  std::memcpy(out, container_name, name_len);
  std::memcpy(out + name_len, suffix, suffix_len + 1);
}

bool KeyNameDigit(const char *key_name, char *out_digit) {
  if (key_name == nullptr || key_name[0] == '\0') return false;
  const char *backslash = std::strrchr(key_name, '\\');
  if (backslash == nullptr || backslash[1] == '\0' || backslash[2] == '\0') return false;
  *out_digit = backslash[2];
  return true;
}

uint32_t PairOfDigit(char digit) {
  if (digit == '1' || digit == '2') return OB_KEY_TYPE_EXCHANGE;
  if (digit == '3' || digit == '4') return OB_KEY_TYPE_SIGNATURE;
  return 0;
}

}  // namespace obkey

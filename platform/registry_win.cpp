#include <windows.h>

#include <vector>

#include "registry.h"

namespace obkey::platform {

namespace {

// Queries the value twice, first for its size, then into a zeroed buffer one
// byte larger, so that the text is terminated whatever type it was stored as.
bool QueryValue(HKEY key, const char *value_name, std::string *out_value) {
  DWORD size = 0;
  if (RegQueryValueExA(key, value_name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
      size == 0) {
    return false;
  }
  std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
  DWORD enlarged = size + 1;
  if (RegQueryValueExA(key, value_name, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer.data()),
                       &enlarged) != ERROR_SUCCESS) {
    return false;
  }
  buffer.back() = '\0';
  out_value->assign(buffer.data());
  return true;
}

}  // namespace

bool ReadMachineValue(const char *key_path, const char *value_name, std::string *out_value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return false;
  }
  bool read = QueryValue(key, value_name, out_value);
  RegCloseKey(key);
  return read;
}

std::string RegistryFilePath() {
  return std::string();
}

}  // namespace obkey::platform

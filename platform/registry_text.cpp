#include "registry_text.h"

namespace obkey::platform {

std::string RegistryFileText(const char *key_path, const char *value_name,
                             const std::string &value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return std::string("[HKEY_LOCAL_MACHINE\\") + key_path + "]\n\"" + value_name + "\"=\"" +
         escaped + "\"\n";
}

}  // namespace obkey::platform

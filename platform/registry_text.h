// The text file that stands in for the machine registry where there is none
// (POSIX systems): how it is read and how a value is found in it.
#ifndef OBKEY_PLATFORM_REGISTRY_TEXT_H
#define OBKEY_PLATFORM_REGISTRY_TEXT_H

#include <stddef.h>

#include <string>

namespace obkey::platform {

// The configuration is a few lines; anything larger is not one.
inline constexpr size_t kRegistryFileMax = 64 * 1024;

// ReadRegistryFile stores the whole content of `path` in `*out_text`. It
// returns false, without waiting on a FIFO or reading a device, when `path`
// is not a regular file, cannot be read or holds more than kRegistryFileMax
// bytes.
bool ReadRegistryFile(const std::string &path, std::string *out_text);

// FindRegStringValue looks in `text`, in the .reg layout, for the string
// value `value_name` under [HKEY_LOCAL_MACHINE\<key_path>] (names compare
// without regard to case) and stores its text up to the first zero byte in
// `*out_value`. False, `*out_value` untouched, when there is no such value or
// its text is empty or starts with a zero byte.
bool FindRegStringValue(const std::string &text, const char *key_path, const char *value_name,
                        std::string *out_value);

// RegistryFileText is the whole text of a file in the .reg layout that holds
// the one string value `value_name` = `value` under
// [HKEY_LOCAL_MACHINE\<key_path>]; FindRegStringValue reads it back.
std::string RegistryFileText(const char *key_path, const char *value_name,
                             const std::string &value);

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_REGISTRY_TEXT_H

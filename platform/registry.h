// Machine configuration: a string value under HKEY_LOCAL_MACHINE.
#ifndef OBKEY_PLATFORM_REGISTRY_H
#define OBKEY_PLATFORM_REGISTRY_H

#include <string>

namespace obkey::platform {

// The machine key under which obkey and the token libraries beside it read
// their configuration values.
inline constexpr char kConfigKeyPath[] = "SOFTWARE\\orbisoft\\Implement Type";

// ReadMachineValue reads the value `value_name` of the machine key `key_path`
// (a path below HKEY_LOCAL_MACHINE, backslash-separated). On success it stores
// the value's bytes as they are, up to the first zero byte, in `*out_value`
// and returns true. It returns false, leaving `*out_value` alone, when the
// key or the value is missing, empty or unreadable.
//
// Windows reads the registry. Elsewhere the registry is a read-only text file
// in the .reg layout: $OBKEY_REGISTRY, else /etc/obkey/registry.reg. There a
// file that is not regular or is larger than 64 KiB is unreadable, and a
// value whose text starts with a zero byte is empty.
bool ReadMachineValue(const char *key_path, const char *value_name, std::string *out_value);

// RegistryFilePath is the .reg file that stands in for the registry on
// systems without one (empty on Windows).
std::string RegistryFilePath();

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_REGISTRY_H

// The configuration file stand-in for the registry. Any text: a value found
// is non-empty text without a zero byte. And any byte string written as the
// USBKEY value of a well-formed file (escaped) reads back as its bytes up to
// the first zero, or as no value when that leaves nothing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "device_config.h"
#include "registry_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::string value;
  if (obkey::platform::FindRegStringValue(text, obkey::kConfigKeyPath, obkey::kConfigValueName,
                                          &value)) {
    if (value.empty() || value.find('\0') != std::string::npos) __builtin_trap();
    int32_t device = 0;
    obkey::DeviceIndexFromValue(value, &device);
  }

  // The .reg layout has no way to write a line break inside a value.
  if (text.find('\n') != std::string::npos) return 0;
  const std::string file =
      obkey::platform::RegistryFileText(obkey::kConfigKeyPath, obkey::kConfigValueName, text);
  const std::string expected = text.substr(0, text.find('\0'));
  std::string read_back;
  bool found = obkey::platform::FindRegStringValue(file, obkey::kConfigKeyPath,
                                                   obkey::kConfigValueName, &read_back);
  if (found != !expected.empty()) __builtin_trap();
  if (found && read_back != expected) __builtin_trap();
  return 0;
}

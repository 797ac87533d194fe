#include "device_config.h"

#include <climits>
#include <cstdlib>

#include "registry.h"

namespace obkey {

bool DeviceIndexFromValue(const std::string &value, int32_t *out_device_index) {
  if (value.size() < kConfigSkippedChars) return false;
  long parsed = std::strtol(value.c_str() + kConfigSkippedChars, nullptr, 10);
  if (parsed > INT32_MAX) parsed = INT32_MAX;
  if (parsed < INT32_MIN) parsed = INT32_MIN;
  *out_device_index = static_cast<int32_t>(parsed);
  return true;
}

bool ReadConfiguredDevice(int32_t *out_device_index) {
  std::string value;
  if (!platform::ReadMachineValue(kConfigKeyPath, kConfigValueName, &value)) return false;
  return DeviceIndexFromValue(value, out_device_index);
}

}  // namespace obkey

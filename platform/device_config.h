// The machine configuration that names the token device.
#ifndef OBKEY_PLATFORM_DEVICE_CONFIG_H
#define OBKEY_PLATFORM_DEVICE_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "registry.h"

namespace obkey {

// HKEY_LOCAL_MACHINE\<kConfigKeyPath>, value <kConfigValueName>, whose text
// names the device from its tenth character.
using platform::kConfigKeyPath;
inline constexpr char kConfigValueName[] = "USBKEY";
inline constexpr size_t kConfigSkippedChars = 9;

// DeviceIndexFromValue converts the configured text from its tenth character
// on as a decimal (leading blanks, optional sign, digits; none gives 0).
// Returns false when the text is shorter than nine characters, since the
// device index would then lie beyond it.
bool DeviceIndexFromValue(const std::string &value, int32_t *out_device_index);

// ReadConfiguredDevice reads the configuration afresh and returns false when
// no usable value was read.
bool ReadConfiguredDevice(int32_t *out_device_index);

}  // namespace obkey

#endif  // OBKEY_PLATFORM_DEVICE_CONFIG_H

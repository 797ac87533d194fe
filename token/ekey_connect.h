// Opening a token session on the device that the machine configuration names.
#ifndef OBKEY_TOKEN_EKEY_CONNECT_H
#define OBKEY_TOKEN_EKEY_CONNECT_H

#include <stdint.h>

#include <string>

#include "token/xcsp_eclib.h"

namespace obkey {

// The machine configuration: HKEY_LOCAL_MACHINE\<kConfigKeyPath>, value
// <kConfigValueName>, whose text names the device from its tenth character.
inline constexpr char kConfigKeyPath[] = "SOFTWARE\\orbisoft\\Implement Type";
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

// EkeyConnect opens a session on the configured device. Returns 0 and stores
// the session handle on success; returns 3 and leaves the handle untouched
// when there is no configuration or the token library refuses the connect
// (its own status is not passed on). Logs the connect unless no
// configuration was read.
int32_t EkeyConnect(XcHandle *out_session);

}  // namespace obkey

#endif  // OBKEY_TOKEN_EKEY_CONNECT_H

#include "token/ekey_connect.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "api/obkey.h"
#include "platform/registry.h"
#include "token/log_text.h"

namespace obkey {

bool DeviceIndexFromValue(const std::string &value, int32_t *out_device_index) {
  if (value.size() < kConfigSkippedChars) return false;
  errno = 0;
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

int32_t EkeyConnect(XcHandle *out_session) {
  int32_t device_index = 0;
  if (!ReadConfiguredDevice(&device_index)) return OB_E_NO_SESSION;
  LogText("XC_ConnectEkey-------begin--\n");
  XcHandle session = 0;
  int32_t status = XC_ConnectEkey(device_index, &session);
  LogText("XC_ConnectEkey-------end--\n");
  if (status != 0) {
    LogText("XC_ConnectEkey-------fail--\n");
    return OB_E_NO_SESSION;
  }
  *out_session = session;
  return OB_OK;
}

}  // namespace obkey

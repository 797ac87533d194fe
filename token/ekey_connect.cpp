#include "ekey_connect.h"

#include "log_text.h"
#include "obkey_types.h"

namespace obkey {

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

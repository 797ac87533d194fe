// Opening a token session on the device that the machine configuration names.
#ifndef OBKEY_TOKEN_EKEY_CONNECT_H
#define OBKEY_TOKEN_EKEY_CONNECT_H

#include <stdint.h>

#include "device_config.h"
#include "xcsp_eclib.h"

namespace obkey {

// EkeyConnect opens a session on the configured device. Returns 0 and stores
// the session handle on success; returns 3 and leaves the handle untouched
// when there is no configuration or the token library refuses the connect
// (its own status is not passed on). Logs the connect unless no
// configuration was read.
int32_t EkeyConnect(XcHandle *out_session);

}  // namespace obkey

#endif  // OBKEY_TOKEN_EKEY_CONNECT_H

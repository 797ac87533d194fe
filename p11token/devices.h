// devices.h — which slot a device is, learned once per module
// initialisation, and the one session per slot kept open for the process:
// a PKCS #11 login lasts while the application has a session on the token,
// and obkey opens and closes one for every call.
#ifndef OBKEY_P11TOKEN_DEVICES_H
#define OBKEY_P11TOKEN_DEVICES_H

#include <stdint.h>

#include <set>

#include "cryptoki.h"

namespace obkey::p11token {

// OpenConnection opens the PKCS #11 session of a connection to device
// `device_index`: the device's slot and the kept session are learned once
// per module initialisation, and the kept session is checked again once
// anything changed on the module's tokens.
int32_t OpenConnection(CK_FUNCTION_LIST *f, int32_t device_index, CK_SLOT_ID *out_slot,
                       CK_SESSION_HANDLE *out_session);

// DeviceKnown says whether the process found the device's slot already.
bool DeviceKnown(int32_t device_index);

// TokenFlag says whether the slot's token has `flag` (CKF_...) set.
bool TokenFlag(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, CK_FLAGS flag);
bool TokenInitialized(CK_FUNCTION_LIST *f, CK_SLOT_ID slot);

// InitializedSlots are the slots, of those with a token, whose token is
// initialised.
std::set<CK_SLOT_ID> InitializedSlots(CK_FUNCTION_LIST *f);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_DEVICES_H

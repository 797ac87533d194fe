// module.h — the PKCS #11 module behind the token library: which one, loaded
// and initialised once per process, and which of its slots a device is.
#ifndef OBKEY_P11TOKEN_MODULE_H
#define OBKEY_P11TOKEN_MODULE_H

#include <stdint.h>

#include <string>

#include "cryptoki.h"

namespace obkey::p11token {

// The environment variable and, failing it, the machine configuration value
// (beside the device index obkey reads) that name the module to load.
inline constexpr char kModuleEnvironmentVariable[] = "OBKEY_PKCS11_MODULE";
inline constexpr char kModuleConfigValueName[] = "PKCS11Module";

// ConfiguredModulePath returns $OBKEY_PKCS11_MODULE when set and not empty,
// else the configuration value, else "".
std::string ConfiguredModulePath();

// ModuleFunctions loads the configured module on first use, calls
// C_Initialize once (a module another library of this process initialised
// already is accepted) and stores its function list. The module stays loaded
// and initialised for the process; later calls return the same list.
// Returns P11ST_NO_MODULE, P11ST_MODULE_LOAD or P11ST_MODULE_INIT on failure.
int32_t ModuleFunctions(CK_FUNCTION_LIST **out_functions);

// FindDeviceSlot stores the slot of device `device_index`: the
// (device_index + 1)-th slot, in the module's order, that has a token
// present. P11ST_NO_TOKEN when there are not that many, or the index is
// negative.
int32_t FindDeviceSlot(CK_FUNCTION_LIST *functions, int32_t device_index, CK_SLOT_ID *out_slot);

// ModuleLockKey names the lock that sessions on the module take: the
// module file's name and a hash of its path, in letters, digits and '_'
// only. "" when no module is configured.
std::string ModuleLockKey();

// StatusFromCkr maps a PKCS #11 return value onto the interface's status
// (0 for CKR_OK). The callers that know better (a wrong SO PIN, a full
// token while creating a file) map those values themselves first.
int32_t StatusFromCkr(CK_RV rv);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_MODULE_H

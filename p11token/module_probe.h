// module_probe.h — what a program that uses the token library can learn of
// the configured module without a session of the library's: the module,
// whether it loads and initialises, and the token a device index reaches.
// It is what obkeyctl shows a user when the token cannot be reached.
#ifndef OBKEY_P11TOKEN_MODULE_PROBE_H
#define OBKEY_P11TOKEN_MODULE_PROBE_H

#include <stdint.h>

#include <string>

namespace obkey::p11token {

struct ModuleProbe {
  std::string module_path;  // as configured; "" when none is
  bool module_from_environment = false;
  bool init_args_set = false;
  bool init_args_from_environment = false;
  // 0 when the module loaded and initialised and listed its slots; else
  // P11ST_NO_MODULE, P11ST_MODULE_LOAD, P11ST_MODULE_INIT,
  // P11ST_LOCK_UNUSABLE, P11ST_TOKEN_BUSY or the status of C_GetSlotList.
  int32_t status = 0;
  std::string failure;            // the cause of `status`: loader message, CKR name
  std::string initialize_result;  // C_Initialize's CKR name; "" when not reached
  uint32_t token_count = 0;       // slots with a token present
  bool device_found = false;      // the device index names one of them
  uint64_t slot = 0;
  bool token_initialized = false;
  bool user_pin_locked = false;
  std::string label, serial, model;  // blank padding removed
  uint32_t min_pin_len = 0, max_pin_len = 0;
  // The module refuses a public data object (tested with a session object,
  // which leaves nothing on the token): obkey's directory and files are
  // then private there (tpm2-pkcs11), seen only after a login.
  bool data_objects_private = false;
};

// ProbeModule loads and initialises the configured module as the token
// library does (under the module's lock, which it lets go again) and reads
// the token of device `device_index` (-1: none). The module stays loaded
// and initialised for the process, as the token library leaves it.
ModuleProbe ProbeModule(int32_t device_index);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_MODULE_PROBE_H

// Exported entry points of the token as a whole, and the calls that have
// nothing to do. Each one only forwards to its subsystem inside
// the boundary guard.
#include "api_guard.h"
#include "login.h"
#include "obkey.h"

using obkey::Guarded;

extern "C" {

// ---- login, logout, format, PIN ----

int32_t OBAPI OBCA_Login(uint32_t user_type, const char *pin) {
  return Guarded([&] { return obkey::Login(user_type, pin); });
}

int32_t OBAPI OBCA_Logout(void) {
  return OB_OK;
}

int32_t OBAPI OBCA_Format(int32_t device_index, uint32_t) {
  return Guarded([&] { return obkey::FormatToken(device_index); });
}

int32_t OBAPI OB_SetPVKEnabelData(uint32_t, const DataBlob *old_pin, const DataBlob *new_pin,
                                  uint32_t) {
  return Guarded([&] { return obkey::ChangeUserPin(old_pin, new_pin); });
}

int32_t OBAPI OB_EnablePVK(uint32_t, uint32_t, uint32_t) {
  return OB_OK;
}

int32_t OBAPI OB_DisabelPVK(uint32_t) {
  return Guarded([&] { return obkey::PrintContainerNames(); });
}

int32_t OBAPI OB_IsPVKEnabeled(uint32_t) {
  return OB_PVK_ENABLED;
}

// ---- containers and keys ----

int32_t OBAPI OB_DestroyContainer(const char *) {
  return OB_OK;
}

int32_t OBAPI OB_ExportPrivateKey(uint32_t, uint32_t, uint32_t, uint32_t) {
  return OB_E_ARGUMENT;
}

// ---- software keys ----

int32_t OBAPI OB_DestroyKey(const DataBlob *) {
  return OB_OK;
}

int32_t OBAPI OB_GetSupportedAlgId(uint32_t, uint32_t) {
  return OB_OK;
}

}  // extern "C"

#include "module_probe.h"

#include <cstdlib>

#include "cryptoki.h"
#include "module.h"

namespace obkey::p11token {

namespace {

// Text of a blank-padded PKCS #11 field, without its padding.
template <size_t N>
std::string Field(const CK_UTF8CHAR (&field)[N]) {
  std::string text(reinterpret_cast<const char *>(field), N);
  size_t end = text.find_last_not_of(" \0", std::string::npos, 2);
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

bool FromEnvironment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// RefusesPublicData tries a public data object that lives only as long as
// its session, as p11token would make its own (token) ones.
bool RefusesPublicData(CK_FUNCTION_LIST *functions, CK_SLOT_ID slot) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (functions->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                               &session) != CKR_OK) {
    return false;
  }
  CK_OBJECT_CLASS data_class = CKO_DATA;
  CK_BBOOL no = CK_FALSE;
  char label[] = "obkey probe";
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data_class, sizeof(data_class)},
                         {CKA_TOKEN, &no, sizeof(no)},
                         {CKA_PRIVATE, &no, sizeof(no)},
                         {CKA_LABEL, label, sizeof(label) - 1}};
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_RV rv = functions->C_CreateObject(session, tmpl, 4, &object);
  if (rv == CKR_OK) functions->C_DestroyObject(session, object);
  functions->C_CloseSession(session);
  return rv != CKR_OK;
}

void ReadToken(CK_FUNCTION_LIST *functions, int32_t device_index, ModuleProbe *probe) {
  CK_ULONG count = 0;
  CK_RV rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
  if (rv != CKR_OK) {
    probe->status = StatusFromCkr(rv);
    probe->failure = "C_GetSlotList returned " + CkrName(rv);
    return;
  }
  probe->token_count = static_cast<uint32_t>(count);
  CK_SLOT_ID slot = 0;
  if (device_index < 0 || FindDeviceSlot(functions, device_index, &slot) != 0) return;
  probe->device_found = true;
  probe->slot = slot;
  CK_TOKEN_INFO info{};
  rv = functions->C_GetTokenInfo(slot, &info);
  if (rv != CKR_OK) {
    probe->status = StatusFromCkr(rv);
    probe->failure = "C_GetTokenInfo returned " + CkrName(rv);
    return;
  }
  probe->token_initialized = (info.flags & CKF_TOKEN_INITIALIZED) != 0;
  probe->user_pin_locked = (info.flags & CKF_USER_PIN_LOCKED) != 0;
  probe->label = Field(info.label);
  probe->serial = Field(info.serialNumber);
  probe->model = Field(info.model);
  probe->min_pin_len = static_cast<uint32_t>(info.ulMinPinLen);
  probe->max_pin_len = static_cast<uint32_t>(info.ulMaxPinLen);
  if (probe->token_initialized) probe->data_objects_private = RefusesPublicData(functions, slot);
}

}  // namespace

ModuleProbe ProbeModule(int32_t device_index) {
  ModuleProbe probe;
  probe.module_path = ConfiguredModulePath();
  probe.module_from_environment = FromEnvironment(kModuleEnvironmentVariable);
  probe.init_args_set = !ConfiguredInitArgs().empty();
  probe.init_args_from_environment = FromEnvironment(kInitArgsEnvironmentVariable);
  TokenStep step;
  probe.status = step.Begin();
  probe.initialize_result = ModuleInitializeResult();
  if (probe.status != 0) {
    probe.failure = ModuleFailureText();
    return probe;
  }
  ReadToken(step.functions(), device_index, &probe);
  return probe;
}

}  // namespace obkey::p11token

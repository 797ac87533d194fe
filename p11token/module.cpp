#include "module.h"

#include <cstdlib>
#include <vector>

#include "p11token_os.h"
#include "p11token_status.h"
#include "registry.h"

namespace obkey::p11token {

namespace {

CK_FUNCTION_LIST *loaded_functions = nullptr;
std::string loaded_path;

}  // namespace

std::string ConfiguredModulePath() {
  const char *variable = std::getenv(kModuleEnvironmentVariable);
  if (variable != nullptr && variable[0] != '\0') return variable;
  std::string value;
  if (platform::ReadMachineValue(platform::kConfigKeyPath, kModuleConfigValueName, &value)) {
    return value;
  }
  return "";
}

int32_t ModuleFunctions(CK_FUNCTION_LIST **out_functions) {
  if (loaded_functions != nullptr) {
    *out_functions = loaded_functions;
    return 0;
  }
  std::string path = ConfiguredModulePath();
  if (path.empty()) return P11ST_NO_MODULE;
  void *module = os::LoadModule(path);
  if (module == nullptr) return P11ST_MODULE_LOAD;
  auto get_function_list =
      reinterpret_cast<CK_C_GetFunctionList>(os::ModuleSymbol(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST *functions = nullptr;
  if (get_function_list == nullptr || get_function_list(&functions) != CKR_OK ||
      functions == nullptr) {
    return P11ST_MODULE_LOAD;
  }
  // The module may be called from any thread of the caller's; let it use the
  // operating system's locks.
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = functions->C_Initialize(&args);
  // The token library and the formatting library each load the module; the
  // second to initialise it finds it initialised.
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) return P11ST_MODULE_INIT;
  loaded_functions = functions;
  loaded_path = path;
  *out_functions = functions;
  return 0;
}

std::string ModuleLockKey() {
  // The module in use stays the one to lock for, whatever the configuration
  // says later.
  std::string path = loaded_functions != nullptr ? loaded_path : ConfiguredModulePath();
  if (path.empty()) return "";
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char ch : path) {
    hash = (hash ^ static_cast<uint8_t>(ch)) * 1099511628211ull;
  }
  size_t slash = path.find_last_of("/\\");
  std::string key;
  for (char ch : path.substr(slash == std::string::npos ? 0 : slash + 1)) {
    bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    key.push_back(plain ? ch : '_');
  }
  static const char kHex[] = "0123456789abcdef";
  key.push_back('_');
  for (int shift = 60; shift >= 0; shift -= 4) key.push_back(kHex[(hash >> shift) & 0xF]);
  return key;
}

int32_t FindDeviceSlot(CK_FUNCTION_LIST *functions, int32_t device_index, CK_SLOT_ID *out_slot) {
  if (device_index < 0) return P11ST_NO_TOKEN;
  CK_ULONG count = 0;
  CK_RV rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots;
  // A slot may appear between the two calls; ask again while the list grows.
  for (int attempt = 0; rv == CKR_OK && attempt < 4; ++attempt) {
    slots.resize(count);
    rv = functions->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_BUFFER_TOO_SMALL) break;
    rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
  }
  if (rv != CKR_OK) return StatusFromCkr(rv);
  if (static_cast<CK_ULONG>(device_index) >= count) return P11ST_NO_TOKEN;
  *out_slot = slots[static_cast<size_t>(device_index)];
  return 0;
}

int32_t StatusFromCkr(CK_RV rv) {
  switch (rv) {
    case CKR_OK:
      return 0;
    case CKR_ARGUMENTS_BAD:
      return P11ST_BAD_ARGUMENT;
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_OBJECT_HANDLE_INVALID:
      return P11ST_BAD_HANDLE;
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
      return P11ST_NO_TOKEN;
    case CKR_BUFFER_TOO_SMALL:
      return P11ST_BUFFER_TOO_SMALL;
    case CKR_PIN_LEN_RANGE:
      return P11ST_PIN_LENGTH;
    case CKR_PIN_INCORRECT:
      return P11ST_PIN_INCORRECT;
    case CKR_PIN_LOCKED:
      return P11ST_PIN_LOCKED;
    case CKR_USER_NOT_LOGGED_IN:
    case CKR_USER_PIN_NOT_INITIALIZED:
      return P11ST_NOT_LOGGED_IN;
    case CKR_DATA_LEN_RANGE:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
      return P11ST_DATA_LENGTH;
    case CKR_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_INVALID:
      return P11ST_DATA_RANGE;
    case CKR_DEVICE_MEMORY:
      return P11ST_FILE_SPACE_FULL;
    case CKR_HOST_MEMORY:
      return P11ST_INTERNAL;
    default:
      break;
  }
  if (rv >= CKR_VENDOR_DEFINED) {
    return static_cast<int32_t>(P11ST_CKR_VENDOR_BASE | (rv & 0xFFFFu));
  }
  if (rv <= 0xFFFFu) return static_cast<int32_t>(P11ST_CKR_BASE | rv);
  return static_cast<int32_t>(P11ST_CKR_VENDOR_BASE | 0xFFFFu);
}

}  // namespace obkey::p11token

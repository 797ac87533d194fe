#include "module.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "p11token_os.h"
#include "p11token_status.h"
#include "pkcs11_names.h"
#include "registry.h"
#include "static_tls.h"

namespace obkey::p11token {

namespace {

// How long a step waits for another process's hold on the module's lock.
constexpr int kModuleLockTimeoutMs = 5000;

void *loaded_module = nullptr;
CK_FUNCTION_LIST *loaded_functions = nullptr;
bool module_initialized = false;
std::string loaded_path;
std::string loaded_name;
std::string loaded_identity;
std::string failure_text;
std::string initialize_result;
uint64_t generation = 0;
// The counter of changing steps shared with the other processes (null:
// none could be had), set with the lock held before any reading step runs.
uint64_t *change_counter = nullptr;

// The calling thread's open step, how it holds the process lock and the
// connection whose lock it holds (0: none).
enum class Hold { kNone, kShared, kExclusive };
OBKEY_STATIC_TLS thread_local TokenStep *current_step = nullptr;
OBKEY_STATIC_TLS thread_local Hold process_hold = Hold::kNone;
OBKEY_STATIC_TLS thread_local uint32_t held_connection = 0;

std::string ConfiguredValue(const char *variable_name, const char *value_name) {
  const char *variable = std::getenv(variable_name);
  if (variable != nullptr && variable[0] != '\0') return variable;
  std::string value;
  if (platform::ReadMachineValue(platform::kConfigKeyPath, value_name, &value)) return value;
  return "";
}

int32_t Fail(int32_t status, const std::string &text) {
  failure_text = text;
  // The exports can only return a number: the cause goes to standard error
  // for whoever is looking.
  if (std::getenv("OBKEY_DEBUG") != nullptr) std::fprintf(stderr, "p11token: %s\n", text.c_str());
  return status;
}

// LoadConfiguredModule loads the module and reads its function list, without
// initialising it: the lock is named after the file it came from.
int32_t LoadConfiguredModule() {
  if (loaded_functions != nullptr) return 0;
  std::string path = ConfiguredModulePath();
  if (path.empty()) {
    return Fail(P11ST_NO_MODULE, std::string("no PKCS #11 module: set ") +
                                     kModuleEnvironmentVariable + " or the " +
                                     kModuleConfigValueName + " configuration value");
  }
  void *module = os::LoadModule(path);
  if (module == nullptr) return Fail(P11ST_MODULE_LOAD, path + ": " + os::LoadError());
  void *symbol = os::ModuleSymbol(module, "C_GetFunctionList");
  auto get_function_list = reinterpret_cast<CK_C_GetFunctionList>(symbol);
  CK_FUNCTION_LIST *functions = nullptr;
  if (get_function_list == nullptr) {
    return Fail(P11ST_MODULE_LOAD, path + ": no C_GetFunctionList (not a PKCS #11 module)");
  }
  CK_RV rv = get_function_list(&functions);
  if (rv != CKR_OK || functions == nullptr) {
    return Fail(P11ST_MODULE_LOAD, path + ": C_GetFunctionList returned " + CkrName(rv));
  }
  loaded_module = module;
  loaded_functions = functions;
  loaded_path = path;
  if (!os::ModuleFileIdentity(module, symbol, &loaded_name, &loaded_identity)) {
    loaded_name = loaded_path;
    loaded_identity.clear();
  }
  return 0;
}

int32_t InitializeLoadedModule() {
  if (module_initialized) return 0;
  // The module may be called from any thread of the caller's; let it use the
  // operating system's locks. Some software tokens read their configuration
  // from pReserved.
  std::string init_args = ConfiguredInitArgs();
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  if (!init_args.empty()) args.pReserved = init_args.data();
  CK_RV rv = loaded_functions->C_Initialize(&args);
  initialize_result = CkrName(rv);
  // The token library and the formatting library each load the module; the
  // second to initialise it finds it initialised.
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    std::string hint = rv == CKR_ARGUMENTS_BAD && init_args.empty()
                           ? " (the module may need arguments: set " +
                                 std::string(kInitArgsEnvironmentVariable) + " or " +
                                 kInitArgsConfigValueName + ")"
                           : "";
    return Fail(P11ST_MODULE_INIT, loaded_path + ": C_Initialize returned " + CkrName(rv) + hint);
  }
  module_initialized = true;
  ++generation;
  return 0;
}

// KeyFor: the file's name, then a hash of its identity ("" : of its path).
std::string KeyFor(const std::string &path, const std::string &identity) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char ch : identity.empty() ? path : identity) {
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

}  // namespace

std::string ConfiguredModulePath() {
  return ConfiguredValue(kModuleEnvironmentVariable, kModuleConfigValueName);
}

std::string ConfiguredInitArgs() {
  return ConfiguredValue(kInitArgsEnvironmentVariable, kInitArgsConfigValueName);
}

int32_t ModuleFunctions(CK_FUNCTION_LIST **out_functions) {
  if (int32_t status = LoadConfiguredModule()) return status;
  if (int32_t status = InitializeLoadedModule()) return status;
  *out_functions = loaded_functions;
  return 0;
}

std::string ModuleFailureText() {
  return failure_text;
}

std::string ModuleInitializeResult() {
  return initialize_result;
}

uint64_t ModuleGeneration() {
  return generation;
}

void ForgetModuleKnowledge() {
  ++generation;
}

uint64_t ObjectsGeneration() {
  uint64_t changes =
      change_counter != nullptr ? __atomic_load_n(change_counter, __ATOMIC_ACQUIRE) : 0;
  return (changes << 16) | (generation & 0xFFFF);
}

bool LearnedRecently(std::chrono::steady_clock::time_point learned) {
  return current_step == nullptr && std::chrono::steady_clock::now() - learned < kLearnedTrusted;
}

int32_t TokenStep::Begin(StepKind kind) {
  if (kind == StepKind::kRead && module_initialized) {
    functions_ = loaded_functions;
    return 0;
  }
  os::ProcessStateGuard::MakeExclusive();
  if (int32_t status = LoadConfiguredModule()) return status;
  bool busy = false;
  lock_ = os::LockToken(ModuleLockKey(), kModuleLockTimeoutMs, &busy);
  if (lock_ == nullptr) {
    return busy ? Fail(P11ST_TOKEN_BUSY, "another program held the module's lock for 5 s")
                : Fail(P11ST_LOCK_UNUSABLE,
                       "the module's lock cannot be made: " + os::LockFailureText() +
                           " (set OBKEY_PKCS11_LOCK_DIR to a folder of yours)");
  }
  current_step = this;
  if (change_counter == nullptr) change_counter = os::ChangeCounter(ModuleLockKey());
  // A module that reads its token store in C_Initialize (SoftHSMv2) must not
  // read another process's half-written object: initialise under the lock.
  if (int32_t status = ModuleFunctions(&functions_)) {
    Release();
    return status;
  }
  return 0;
}

void TokenStep::Release() {
  if (current_step == this) current_step = nullptr;
  if (lock_ == nullptr) return;
  // Whatever this step changed is done: every process looks its objects up
  // again.
  if (change_counter != nullptr) __atomic_fetch_add(change_counter, 1, __ATOMIC_RELEASE);
  os::UnlockToken(lock_);
  lock_ = nullptr;
}

void ReleaseCurrentStep() {
  if (current_step != nullptr) current_step->Release();
  os::ProcessStateGuard::ReleaseEarly();
}

namespace os {

ProcessStateGuard::ProcessStateGuard() {
  LockProcessState(false);
  process_hold = Hold::kShared;
}

ProcessStateGuard::~ProcessStateGuard() {
  ReleaseEarly();
}

void ProcessStateGuard::MakeExclusive() {
  if (process_hold != Hold::kShared) return;
  // Nothing was read yet: letting go for a moment loses nothing.
  ReleaseEarly();
  LockProcessState(true);
  process_hold = Hold::kExclusive;
}

void ProcessStateGuard::HoldConnection(uint32_t connection) {
  if (process_hold != Hold::kShared || held_connection != 0 || connection == 0) return;
  LockConnection(connection);
  held_connection = connection;
}

void ProcessStateGuard::ReleaseEarly() {
  if (held_connection != 0) UnlockConnection(held_connection);
  held_connection = 0;
  if (process_hold == Hold::kNone) return;
  UnlockProcessState(process_hold == Hold::kExclusive);
  process_hold = Hold::kNone;
}

}  // namespace os

std::string ModuleLockKey() {
  // The module in use stays the one to lock for, whatever the configuration
  // says later.
  if (loaded_functions != nullptr) {
    return KeyFor(loaded_identity.empty() ? loaded_path : loaded_name, loaded_identity);
  }
  std::string path = ConfiguredModulePath();
  if (path.empty()) return "";
  // Not loaded yet: the file the path leads to, as the loader would map it.
  void *module = os::LoadModule(path);
  void *symbol = module != nullptr ? os::ModuleSymbol(module, "C_GetFunctionList") : nullptr;
  std::string name, identity;
  if (symbol != nullptr && os::ModuleFileIdentity(module, symbol, &name, &identity)) {
    return KeyFor(name, identity);
  }
  return KeyFor(path, "");
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

std::string CkrName(CK_RV rv) {
  static const struct {
    CK_RV rv;
    const char *name;
  } kNames[] = {
#define P11TOKEN_CKR(name, value) {value, #name},
      OBKEY_PKCS11_CKR_LIST(P11TOKEN_CKR)
#undef P11TOKEN_CKR
  };
  for (const auto &entry : kNames) {
    if (entry.rv == rv) return entry.name;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string text = "CKR 0x";
  for (int shift = 28; shift >= 0; shift -= 4) text.push_back(kHex[(rv >> shift) & 0xF]);
  return text;
}

}  // namespace obkey::p11token

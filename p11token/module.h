// module.h — the PKCS #11 module behind the token library: which one, loaded
// and initialised once per process, the lock its users share, and which of
// its slots a device is.
#ifndef OBKEY_P11TOKEN_MODULE_H
#define OBKEY_P11TOKEN_MODULE_H

#include <stdint.h>

#include <chrono>
#include <string>

#include "cryptoki.h"

namespace obkey::p11token {

// The environment variables and, failing them, the machine configuration
// values (beside the device index obkey reads) that name the module to load
// and the text some modules want as C_Initialize's pReserved.
inline constexpr char kModuleEnvironmentVariable[] = "OBKEY_PKCS11_MODULE";
inline constexpr char kInitArgsEnvironmentVariable[] = "OBKEY_PKCS11_INIT_ARGS";
inline constexpr char kModuleConfigValueName[] = "PKCS11Module";
inline constexpr char kInitArgsConfigValueName[] = "PKCS11InitArgs";

// ConfiguredModulePath returns $OBKEY_PKCS11_MODULE when set and not empty,
// else the configuration value, else "". ConfiguredInitArgs likewise.
std::string ConfiguredModulePath();
std::string ConfiguredInitArgs();

// ModuleFunctions loads the configured module on first use, calls
// C_Initialize once (a module another library of this process initialised
// already is accepted) and stores its function list. The module stays loaded
// and initialised for the process; later calls return the same list.
// Returns P11ST_NO_MODULE, P11ST_MODULE_LOAD or P11ST_MODULE_INIT on failure,
// with ModuleFailureText saying why. Callers that change the token use
// TokenStep, which also takes the module's lock.
int32_t ModuleFunctions(CK_FUNCTION_LIST **out_functions);

// ModuleFailureText is the cause of the last failure to load or initialise
// the module: the loader's message or the CKR name, and the path tried.
std::string ModuleFailureText();

// ModuleInitializeResult is the CKR name C_Initialize returned in this
// process (an already initialised module's CKR_CRYPTOKI_ALREADY_INITIALIZED
// included), "" before it was called.
std::string ModuleInitializeResult();

// ModuleGeneration counts the module's initialisations in this process:
// what a caller learned of the module (slots, objects) is good while it is
// unchanged. Formatting a token also moves it on.
uint64_t ModuleGeneration();
void ForgetModuleKnowledge();

// ObjectsGeneration moves on whenever what the process learned of the
// token's objects (key handles, the container directory's object) may be
// out of date: with ModuleGeneration, and after every changing step of any
// process that shares the module's lock (a counter kept beside the lock).
// Readers take no lock, so a change may still land between this look and
// the use of what was learned: the use then meets the older version, whole.
uint64_t ObjectsGeneration();

// What a reading step learned of the objects (the container directory's
// value, which pairs are present) stands in for the module's calls for this
// long, while ObjectsGeneration is unchanged: each such call makes a module
// such as SoftHSMv2 read an object's file again, which was a third of a
// signature's work in the module. A change that another program makes (one
// that does not share the lock) shows after this long at most.
inline constexpr std::chrono::milliseconds kLearnedTrusted{1000};

// LearnedRecently says whether what was learned at `learned` may stand in
// for a module call now: within kLearnedTrusted, and outside a changing
// step (which reads afresh what it builds on).
bool LearnedRecently(std::chrono::steady_clock::time_point learned);

// What a step does on the token: kChange may write obkey's objects (a
// read-modify-write of the token's contents), kRead only reads them and uses
// keys. Readers take no lock: every write creates its new object before it
// destroys the old one, so a reader finds one whole version or the other,
// and looks again when an object it found is gone before it is read.
enum class StepKind { kChange, kRead };

// TokenStep holds the module's lock, shared by every obkey process of the
// machine that uses the same module file, for one changing step on the
// token; the module is initialised inside it. Release ends it early.
class TokenStep {
 public:
  TokenStep() = default;
  ~TokenStep() { Release(); }
  TokenStep(const TokenStep &) = delete;
  TokenStep &operator=(const TokenStep &) = delete;
  // Begin loads the module, takes the lock (P11ST_TOKEN_BUSY after the
  // wait) and initialises the module on first use. A reading step takes the
  // lock only to initialise the module, the process's first step.
  int32_t Begin(StepKind kind = StepKind::kChange);
  void Release();
  CK_FUNCTION_LIST *functions() const { return functions_; }

 private:
  CK_FUNCTION_LIST *functions_ = nullptr;
  void *lock_ = nullptr;
};

// ReleaseCurrentStep ends the calling thread's TokenStep, if it has one,
// and the exported call's process lock: what follows uses only the
// connection's own PKCS #11 session.
void ReleaseCurrentStep();

// FindDeviceSlot stores the slot of device `device_index`: the
// (device_index + 1)-th slot, in the module's order, that has a token
// present. P11ST_NO_TOKEN when there are not that many, or the index is
// negative.
int32_t FindDeviceSlot(CK_FUNCTION_LIST *functions, int32_t device_index, CK_SLOT_ID *out_slot);

// ModuleLockKey names the lock that sessions on the module take: the
// module file's name and a hash of its identity (device and inode of the
// file the path resolves to; on Windows its full path in lower case), in
// letters, digits and '_' only, so that two paths to one file share a lock.
// "" when no module is configured.
std::string ModuleLockKey();

// StatusFromCkr maps a PKCS #11 return value onto the interface's status
// (0 for CKR_OK). The callers that know better (a wrong SO PIN, a full
// token while creating a file) map those values themselves first.
int32_t StatusFromCkr(CK_RV rv);

// CkrName is the standard name of a return value ("CKR_PIN_INCORRECT"), or
// its number in hexadecimal.
std::string CkrName(CK_RV rv);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_MODULE_H

// A PKCS #11 module for tests that stands in front of a real one
// ($OBKEY_SHIM_TARGET, else the SoftHSMv2 module it was built with): it
// counts every call, fails a chosen call or every call from the Nth on, and
// can act out the quirks of other modules. Its controls are the extern "C"
// functions of p11_shim.h. Built with OBKEY_SHIM_PROFILE, it acts out that
// profile of kShimProfiles from the start.
#include "p11_shim.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// clang-format off
#define SHIM_FUNCTIONS(X) \
  X(C_Initialize) X(C_Finalize) X(C_GetInfo) X(C_GetSlotList) \
  X(C_GetSlotInfo) X(C_GetTokenInfo) X(C_GetMechanismList) X(C_GetMechanismInfo) \
  X(C_InitToken) X(C_InitPIN) X(C_SetPIN) X(C_OpenSession) \
  X(C_CloseSession) X(C_CloseAllSessions) X(C_GetSessionInfo) X(C_GetOperationState) \
  X(C_SetOperationState) X(C_Login) X(C_Logout) X(C_CreateObject) \
  X(C_CopyObject) X(C_DestroyObject) X(C_GetObjectSize) X(C_GetAttributeValue) \
  X(C_SetAttributeValue) X(C_FindObjectsInit) X(C_FindObjects) X(C_FindObjectsFinal) \
  X(C_EncryptInit) X(C_Encrypt) X(C_EncryptUpdate) X(C_EncryptFinal) \
  X(C_DecryptInit) X(C_Decrypt) X(C_DecryptUpdate) X(C_DecryptFinal) \
  X(C_DigestInit) X(C_Digest) X(C_DigestUpdate) X(C_DigestKey) \
  X(C_DigestFinal) X(C_SignInit) X(C_Sign) X(C_SignUpdate) \
  X(C_SignFinal) X(C_SignRecoverInit) X(C_SignRecover) X(C_VerifyInit) \
  X(C_Verify) X(C_VerifyUpdate) X(C_VerifyFinal) X(C_VerifyRecoverInit) \
  X(C_VerifyRecover) X(C_DigestEncryptUpdate) X(C_DecryptDigestUpdate) X(C_SignEncryptUpdate) \
  X(C_DecryptVerifyUpdate) X(C_GenerateKey) X(C_GenerateKeyPair) X(C_WrapKey) \
  X(C_UnwrapKey) X(C_DeriveKey) X(C_SeedRandom) X(C_GenerateRandom) \
  X(C_GetFunctionStatus) X(C_CancelFunction) X(C_WaitForSlotEvent)
// clang-format on

enum Function {
#define SHIM_ENUM(name) k_##name,
  SHIM_FUNCTIONS(SHIM_ENUM)
#undef SHIM_ENUM
      kFunctionCount
};

const char *const kNames[] = {
#define SHIM_NAME(name) #name,
    SHIM_FUNCTIONS(SHIM_NAME)
#undef SHIM_NAME
};

CK_FUNCTION_LIST *target = nullptr;
std::atomic<unsigned long> calls[kFunctionCount];
std::atomic<unsigned long> total_calls{0};
std::atomic<unsigned long> stop_after{0};  // 0: never stops

std::mutex rules_mutex;
struct FailRule {
  int function = -1;
  unsigned long nth = 0;  // counted from the rule's setting; 0: every call
  unsigned long seen = 0;
  CK_RV rv = CKR_OK;
} fail_rule;
unsigned quirks = 0;
struct Hook {
  int function = -1;
  unsigned long nth = 0;
  unsigned long seen = 0;
  void (*run)(CK_FUNCTION_LIST *, void *) = nullptr;
  void *context = nullptr;
} hook;
struct SignWith {
  unsigned long nth = 0;  // 0: none
  unsigned long seen = 0;
  CK_OBJECT_HANDLE key = 0;
} sign_with;

// After runs the hook once its call has reached the module.
void After(int function) {
  void (*run)(CK_FUNCTION_LIST *, void *) = nullptr;
  void *context = nullptr;
  {
    std::lock_guard<std::mutex> hold(rules_mutex);
    if (hook.function != function || ++hook.seen != hook.nth) return;
    run = hook.run;
    context = hook.context;
  }
  run(target, context);
}

int FunctionIndex(const char *name) {
  for (int i = 0; i < kFunctionCount; ++i) {
    if (name != nullptr && std::strcmp(kNames[i], name) == 0) return i;
  }
  return -1;
}

// Before counts a call and says whether it fails instead of reaching the
// module (CKR_OK: it goes on).
CK_RV Before(int function) {
  calls[function]++;
  unsigned long number = ++total_calls;
  unsigned long stop = stop_after.load();
  if (stop != 0 && number > stop) return CKR_DEVICE_REMOVED;
  std::lock_guard<std::mutex> hold(rules_mutex);
  if (fail_rule.function != function) return CKR_OK;
  ++fail_rule.seen;
  if (fail_rule.nth == 0 || fail_rule.seen == fail_rule.nth) return fail_rule.rv;
  return CKR_OK;
}

bool Quirk(unsigned quirk) {
  std::lock_guard<std::mutex> hold(rules_mutex);
  return (quirks & quirk) != 0;
}

constexpr CK_ULONG kShortPinMin = 4, kShortPinMax = 8;

bool PinFits(CK_ULONG pin_len) {
  return !Quirk(kShimShortPins) || (pin_len >= kShortPinMin && pin_len <= kShortPinMax);
}

unsigned ProfileQuirks() {
#ifdef OBKEY_SHIM_PROFILE
  for (const ShimProfile &profile : kShimProfiles) {
    if (std::strcmp(profile.name, OBKEY_SHIM_PROFILE) == 0) return profile.quirks;
  }
#endif
  return 0;
}

template <int kIndex, auto kMember, typename Fn>
struct Wrap;

template <int kIndex, auto kMember, typename... Args>
struct Wrap<kIndex, kMember, CK_RV (*)(Args...)> {
  static CK_RV Call(Args... args) {
    if (CK_RV rv = Before(kIndex)) return rv;
    CK_RV rv = (target->*kMember)(args...);
    After(kIndex);
    return rv;
  }
};

bool LoadTarget() {
  if (target != nullptr) return true;
  const char *path = std::getenv("OBKEY_SHIM_TARGET");
#ifdef OBKEY_SHIM_DEFAULT_TARGET
  if (path == nullptr || path[0] == '\0') path = OBKEY_SHIM_DEFAULT_TARGET;
#endif
  void *module = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
  auto get = module != nullptr
                 ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))
                 : nullptr;
  return get != nullptr && get(&target) == CKR_OK && target != nullptr;
}

// The quirks: each changes one call the way some module does.

CK_RV QuirkInitialize(void *args) {
  if (CK_RV rv = Before(k_C_Initialize)) return rv;
  if (Quirk(kShimNeedsInitArgs)) {
    auto *init = static_cast<CK_C_INITIALIZE_ARGS *>(args);
    if (init == nullptr || init->pReserved == nullptr ||
        std::strcmp(static_cast<const char *>(init->pReserved), kShimInitArgs) != 0) {
      return CKR_ARGUMENTS_BAD;
    }
    CK_C_INITIALIZE_ARGS plain = *init;
    plain.pReserved = nullptr;
    return target->C_Initialize(&plain);
  }
  return target->C_Initialize(args);
}

// A label read as a C string, as p11-kit's remote client reads it.
CK_RV QuirkInitToken(CK_SLOT_ID slot, CK_UTF8CHAR *pin, CK_ULONG pin_len, CK_UTF8CHAR *label) {
  if (CK_RV rv = Before(k_C_InitToken)) return rv;
  if (label == nullptr || std::strlen(reinterpret_cast<const char *>(label)) != 32) {
    return CKR_ARGUMENTS_BAD;
  }
  CK_TOKEN_INFO info{};
  bool initialized =
      target->C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED);
  if (Quirk(kShimNoInitToken) || (initialized && Quirk(kShimNoReinit))) {
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  // A PIN that cannot be the token's SO PIN is a wrong one; one that cannot
  // become it is out of range.
  if (!PinFits(pin_len)) return initialized ? CKR_PIN_INCORRECT : CKR_PIN_LEN_RANGE;
  if (Quirk(kShimInitTokenIgnored)) return CKR_OK;
  return target->C_InitToken(slot, pin, pin_len, label);
}

CK_RV QuirkInitPin(CK_SESSION_HANDLE session, CK_UTF8CHAR *pin, CK_ULONG pin_len) {
  if (CK_RV rv = Before(k_C_InitPIN)) return rv;
  if (!PinFits(pin_len)) return CKR_PIN_LEN_RANGE;
  return target->C_InitPIN(session, pin, pin_len);
}

CK_RV QuirkLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR *pin, CK_ULONG pin_len) {
  if (CK_RV rv = Before(k_C_Login)) return rv;
  if (!PinFits(pin_len)) return CKR_PIN_INCORRECT;
  CK_RV rv = target->C_Login(session, user, pin, pin_len);
  After(k_C_Login);
  return rv;
}

CK_RV QuirkGetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO *info) {
  if (CK_RV rv = Before(k_C_GetTokenInfo)) return rv;
  CK_RV rv = target->C_GetTokenInfo(slot, info);
  if (rv == CKR_OK && Quirk(kShimShortPins)) {
    info->ulMinPinLen = kShortPinMin;
    info->ulMaxPinLen = kShortPinMax;
  }
  return rv;
}

// The mechanisms of the target but the ones the quirks take away, answered
// as C_GetMechanismList answers: the count alone, or the list when it fits.
CK_RV QuirkGetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE *out, CK_ULONG *inout_count) {
  if (CK_RV rv = Before(k_C_GetMechanismList)) return rv;
  if (inout_count == nullptr) return CKR_ARGUMENTS_BAD;
  CK_ULONG count = 0;
  CK_RV rv = target->C_GetMechanismList(slot, nullptr, &count);
  std::vector<CK_MECHANISM_TYPE> listed(count);
  if (rv == CKR_OK) rv = target->C_GetMechanismList(slot, listed.data(), &count);
  if (rv != CKR_OK) return rv;
  listed.resize(count);
  for (auto it = listed.begin(); it != listed.end();) {
    bool taken = *it == CKM_RSA_PKCS_KEY_PAIR_GEN && Quirk(kShimNoRsaKeyGen);
    it = taken ? listed.erase(it) : std::next(it);
  }
  CK_ULONG room = *inout_count;
  *inout_count = static_cast<CK_ULONG>(listed.size());
  if (out == nullptr) return CKR_OK;
  if (room < listed.size()) return CKR_BUFFER_TOO_SMALL;
  std::copy(listed.begin(), listed.end(), out);
  return CKR_OK;
}

CK_RV QuirkGenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM *mechanism,
                           CK_ATTRIBUTE *public_tmpl, CK_ULONG public_count,
                           CK_ATTRIBUTE *private_tmpl, CK_ULONG private_count,
                           CK_OBJECT_HANDLE *out_public, CK_OBJECT_HANDLE *out_private) {
  if (CK_RV rv = Before(k_C_GenerateKeyPair)) return rv;
  if (mechanism != nullptr && mechanism->mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN &&
      Quirk(kShimNoRsaKeyGen)) {
    return CKR_MECHANISM_INVALID;
  }
  CK_RV rv = target->C_GenerateKeyPair(session, mechanism, public_tmpl, public_count, private_tmpl,
                                       private_count, out_public, out_private);
  After(k_C_GenerateKeyPair);
  return rv;
}

bool LoggedIn(CK_SESSION_HANDLE session) {
  CK_SESSION_INFO info{};
  return target->C_GetSessionInfo(session, &info) == CKR_OK &&
         (info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS);
}

CK_RV QuirkSetPin(CK_SESSION_HANDLE session, CK_UTF8CHAR *old_pin, CK_ULONG old_len,
                  CK_UTF8CHAR *new_pin, CK_ULONG new_len) {
  if (CK_RV rv = Before(k_C_SetPIN)) return rv;
  if (Quirk(kShimSetPinNeedsLogin) && !LoggedIn(session)) return CKR_USER_NOT_LOGGED_IN;
  if (!PinFits(old_len)) return CKR_PIN_INCORRECT;
  if (!PinFits(new_len)) return CKR_PIN_LEN_RANGE;
  return target->C_SetPIN(session, old_pin, old_len, new_pin, new_len);
}

CK_RV QuirkCreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE *tmpl, CK_ULONG count,
                        CK_OBJECT_HANDLE *out) {
  if (CK_RV rv = Before(k_C_CreateObject)) return rv;
  bool data = false, is_private = true;
  for (CK_ULONG i = 0; i < count; ++i) {
    if (tmpl[i].type == CKA_CLASS && tmpl[i].ulValueLen == sizeof(CK_OBJECT_CLASS)) {
      data = *static_cast<CK_OBJECT_CLASS *>(tmpl[i].pValue) == CKO_DATA;
    }
    if (tmpl[i].type == CKA_PRIVATE && tmpl[i].ulValueLen == sizeof(CK_BBOOL)) {
      is_private = *static_cast<CK_BBOOL *>(tmpl[i].pValue) != CK_FALSE;
    }
  }
  // tpm2-pkcs11 makes no object before a login, whatever its session.
  if (Quirk(kShimObjectsNeedLogin) && !LoggedIn(session)) return CKR_SESSION_READ_ONLY;
  if (data && !is_private && Quirk(kShimRefusesPublicData)) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (data && Quirk(kShimNoDataObjects)) return CKR_ATTRIBUTE_VALUE_INVALID;
  CK_RV rv = target->C_CreateObject(session, tmpl, count, out);
  After(k_C_CreateObject);
  return rv;
}

// DropLeadingZeros gives an RSA result as a number, without its leading
// zero bytes, as some modules do.
void DropLeadingZeros(CK_BYTE *out, CK_ULONG *out_len) {
  CK_ULONG zeros = 0;
  while (zeros < *out_len && out[zeros] == 0) ++zeros;
  std::memmove(out, out + zeros, *out_len - zeros);
  *out_len -= zeros;
}

// A result length that is the caller's buffer size rather than the
// result's, as a module that copies whole buffers reports it.
CK_RV QuirkEncrypt(CK_SESSION_HANDLE session, CK_BYTE *in, CK_ULONG in_len, CK_BYTE *out,
                   CK_ULONG *out_len) {
  if (CK_RV rv = Before(k_C_Encrypt)) return rv;
  CK_ULONG buffer = out_len != nullptr ? *out_len : 0;
  CK_RV rv = target->C_Encrypt(session, in, in_len, out, out_len);
  if (rv == CKR_OK && out != nullptr && Quirk(kShimReportsBufferSize) && buffer > *out_len) {
    std::memmove(out + (buffer - *out_len), out, *out_len);
    std::memset(out, 0, buffer - *out_len);
    *out_len = buffer;
  }
  if (rv == CKR_OK && out != nullptr && Quirk(kShimDropsLeadingZeros)) {
    DropLeadingZeros(out, out_len);
  }
  return rv;
}

template <int kIndex, auto kMember>
CK_RV ShortResult(CK_SESSION_HANDLE session, CK_BYTE *in, CK_ULONG in_len, CK_BYTE *out,
                  CK_ULONG *out_len) {
  if (CK_RV rv = Before(kIndex)) return rv;
  CK_RV rv = (target->*kMember)(session, in, in_len, out, out_len);
  if (rv == CKR_OK && out != nullptr && Quirk(kShimDropsLeadingZeros)) {
    DropLeadingZeros(out, out_len);
  }
  After(kIndex);
  return rv;
}

CK_RV QuirkSignInit(CK_SESSION_HANDLE session, CK_MECHANISM *mechanism, CK_OBJECT_HANDLE key) {
  if (CK_RV rv = Before(k_C_SignInit)) return rv;
  {
    std::lock_guard<std::mutex> hold(rules_mutex);
    if (sign_with.nth != 0 && ++sign_with.seen == sign_with.nth) key = sign_with.key;
  }
  CK_RV rv = target->C_SignInit(session, mechanism, key);
  After(k_C_SignInit);
  return rv;
}

CK_FUNCTION_LIST shim_list;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST **out) {
  if (out == nullptr) return CKR_ARGUMENTS_BAD;
  if (!LoadTarget()) return CKR_GENERAL_ERROR;
  quirks = ProfileQuirks();
  if (const char *flags = std::getenv("OBKEY_SHIM_QUIRKS")) {
    quirks |= static_cast<unsigned>(std::strtoul(flags, nullptr, 0));
  }
  shim_list.version = target->version;
#define SHIM_WRAP(name) \
  shim_list.name = &Wrap<k_##name, &CK_FUNCTION_LIST::name, decltype(CK_FUNCTION_LIST::name)>::Call;
  SHIM_FUNCTIONS(SHIM_WRAP)
#undef SHIM_WRAP
  shim_list.C_GetFunctionList = &C_GetFunctionList;
  shim_list.C_Initialize = &QuirkInitialize;
  shim_list.C_InitToken = &QuirkInitToken;
  shim_list.C_SetPIN = &QuirkSetPin;
  shim_list.C_CreateObject = &QuirkCreateObject;
  shim_list.C_Encrypt = &QuirkEncrypt;
  shim_list.C_Decrypt = &ShortResult<k_C_Decrypt, &CK_FUNCTION_LIST::C_Decrypt>;
  shim_list.C_Sign = &ShortResult<k_C_Sign, &CK_FUNCTION_LIST::C_Sign>;
  shim_list.C_InitPIN = &QuirkInitPin;
  shim_list.C_Login = &QuirkLogin;
  shim_list.C_GetTokenInfo = &QuirkGetTokenInfo;
  shim_list.C_GetMechanismList = &QuirkGetMechanismList;
  shim_list.C_GenerateKeyPair = &QuirkGenerateKeyPair;
  shim_list.C_SignInit = &QuirkSignInit;
  *out = &shim_list;
  return CKR_OK;
}

__attribute__((visibility("default"))) void ShimReset(void) {
  for (auto &count : calls) count = 0;
  total_calls = 0;
  stop_after = 0;
  std::lock_guard<std::mutex> hold(rules_mutex);
  fail_rule = FailRule{};
  hook = Hook{};
  sign_with = SignWith{};
}

__attribute__((visibility("default"))) unsigned long ShimCalls(const char *name) {
  if (name == nullptr) return total_calls.load();
  int function = FunctionIndex(name);
  return function < 0 ? 0 : calls[function].load();
}

__attribute__((visibility("default"))) int ShimFail(const char *name, unsigned long nth, CK_RV rv) {
  int function = FunctionIndex(name);
  if (function < 0) return -1;
  std::lock_guard<std::mutex> hold(rules_mutex);
  fail_rule = FailRule{function, nth, 0, rv};
  return 0;
}

__attribute__((visibility("default"))) void ShimStopAfter(unsigned long count) {
  stop_after = count == 0 ? 0 : total_calls.load() + count;
}

__attribute__((visibility("default"))) int ShimAfter(const char *name, unsigned long nth,
                                                     void (*run)(CK_FUNCTION_LIST *, void *),
                                                     void *context) {
  int function = FunctionIndex(name);
  if (function < 0) return -1;
  std::lock_guard<std::mutex> hold(rules_mutex);
  hook = Hook{function, nth, 0, run, context};
  return 0;
}

__attribute__((visibility("default"))) void ShimSignWith(unsigned long nth, CK_OBJECT_HANDLE key) {
  std::lock_guard<std::mutex> hold(rules_mutex);
  sign_with = SignWith{nth, 0, key};
}

__attribute__((visibility("default"))) void ShimSetQuirks(unsigned quirk_flags) {
  std::lock_guard<std::mutex> hold(rules_mutex);
  quirks = quirk_flags;
}

}  // extern "C"

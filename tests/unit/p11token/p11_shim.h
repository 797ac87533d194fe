// p11_shim.h — the controls of the test PKCS #11 shim (p11_shim.cpp), which
// a test reaches with dlsym on the module p11token loaded.
#ifndef OBKEY_TESTS_UNIT_P11TOKEN_P11_SHIM_H
#define OBKEY_TESTS_UNIT_P11TOKEN_P11_SHIM_H

#include <p11-kit/pkcs11.h>

// Quirks of other modules the shim can act out (ShimSetQuirks).
enum : unsigned {
  kShimNeedsInitArgs = 1u << 0,       // C_Initialize wants pReserved == kShimInitArgs
  kShimNoReinit = 1u << 1,            // C_InitToken refuses an initialised token
  kShimSetPinNeedsLogin = 1u << 2,    // C_SetPIN wants the user logged in
  kShimRefusesPublicData = 1u << 3,   // no CKO_DATA with CKA_PRIVATE false
  kShimNoDataObjects = 1u << 4,       // no CKO_DATA at all (CKR_ATTRIBUTE_VALUE_INVALID)
  kShimReportsBufferSize = 1u << 5,   // C_Encrypt's length is the buffer's
  kShimShortPins = 1u << 6,           // SO and user PINs of 4 to 8 characters only
  kShimInitTokenIgnored = 1u << 7,    // C_InitToken answers CKR_OK and does nothing
  kShimNoInitToken = 1u << 8,         // C_InitToken: CKR_FUNCTION_NOT_SUPPORTED
  kShimNoRsaKeyGen = 1u << 9,         // no CKM_RSA_PKCS_KEY_PAIR_GEN
  kShimObjectsNeedLogin = 1u << 10,   // no C_CreateObject before a user login
  kShimDropsLeadingZeros = 1u << 11,  // RSA results without their leading zero bytes
};

// The shims that act out other modules, each a module file of its own
// (tests/p11shim/libobkey_shim_<profile>.so, built from p11_shim.cpp with
// OBKEY_SHIM_PROFILE), so that a test chooses one by its path alone. Each
// forwards to SoftHSMv2 ($OBKEY_SHIM_TARGET to another module).
struct ShimProfile {
  const char *name;
  unsigned quirks;
  const char *acts_as;
};
inline constexpr ShimProfile kShimProfiles[] = {
    {"no_data", kShimNoDataObjects, "a software token that keeps no data objects"},
    {"short_pins", kShimShortPins, "a token whose SO and user PINs are 4 to 8 characters"},
    {"init_ignored", kShimInitTokenIgnored,
     "a module whose C_InitToken answers CKR_OK and initialises nothing"},
    {"keyring", kShimNoInitToken | kShimNoRsaKeyGen,
     "a desktop keyring's module: it formats nothing and makes no RSA key pairs"},
    {"private_data", kShimRefusesPublicData | kShimObjectsNeedLogin,
     "tpm2-pkcs11: objects made only after a login, data objects private"},
    {"short_results", kShimDropsLeadingZeros, "a module that drops an RSA result's leading zeros"},
};
inline constexpr char kShimInitArgs[] = "configdir=shim";

extern "C" {
// Counters to zero, no failure, no hook (the quirks stay: those of
// $OBKEY_SHIM_QUIRKS are set when the module is loaded).
void ShimReset(void);
// Calls of `name` (null: of every function) since the reset.
unsigned long ShimCalls(const char *name);
// The nth call of `name` from now (0: every call) returns `rv` without
// reaching the module. -1 for an unknown name.
int ShimFail(const char *name, unsigned long nth, CK_RV rv);
// Every call after the next `count` fails with CKR_DEVICE_REMOVED, as a
// token pulled out (0: never).
void ShimStopAfter(unsigned long count);
// After the nth call of `name` from now has reached the module, `run` is
// called with the module's own functions: another program's step, taken
// in the middle of ours.
int ShimAfter(const char *name, unsigned long nth, void (*run)(CK_FUNCTION_LIST *, void *),
              void *context);
void ShimSetQuirks(unsigned quirk_flags);
// The nth C_SignInit from now starts on `key` whatever handle it was given,
// as a module that gave a kept handle to another object does.
void ShimSignWith(unsigned long nth, CK_OBJECT_HANDLE key);
}

#endif  // OBKEY_TESTS_UNIT_P11TOKEN_P11_SHIM_H

// softhsm_key.h — the SoftHSMv2 token both token benchmarks sign with: a
// user PIN set by the security officer and one RSA-1024 signing pair.
#ifndef OBKEY_BENCH_SOFTHSM_KEY_H
#define OBKEY_BENCH_SOFTHSM_KEY_H

#include <p11-kit/pkcs11.h>

#include <string>

namespace obkey_bench {

// SoftHsmModulePath is $OBKEY_SOFTHSM2_MODULE when set, else the module the
// build found.
std::string SoftHsmModulePath();

// CheckSoftHsm throws std::runtime_error naming `what` when `rv` is not
// CKR_OK.
void CheckSoftHsm(CK_RV rv, const char *what);

// InitialisedTokenSlot is the slot of the initialised token whose label
// (32 bytes, blank-padded) is `label`. Throws std::runtime_error when there
// is none.
CK_SLOT_ID InitialisedTokenSlot(CK_FUNCTION_LIST *module, const unsigned char *label);

// PrepareSigningKey sets `user_pin` with `so_pin` on the freshly
// initialised token of `session`, leaves the user logged in through it and
// generates a token RSA-1024 signing pair; returns its private key. Throws
// std::runtime_error naming the call that failed.
CK_OBJECT_HANDLE PrepareSigningKey(CK_FUNCTION_LIST *module, CK_SESSION_HANDLE session,
                                   const std::string &so_pin, const std::string &user_pin);

}  // namespace obkey_bench

#endif  // OBKEY_BENCH_SOFTHSM_KEY_H

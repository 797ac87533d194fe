// pin.h — PIN derivations and the per-process memory of a verified user PIN.
#ifndef OBKEY_SOFTTOKEN_PIN_H
#define OBKEY_SOFTTOKEN_PIN_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "token_state.h"

namespace obkey::softtoken {

// PBKDF2-HMAC-SHA256 count of the admin PIN (and of user PINs of older
// stores).
constexpr uint32_t kPinIterations = 10000;

// $XCSP_TOKEN_SCRYPT_LOG2N, when set, replaces the base-2 logarithm of the
// default N for derivations made while it is set (the test suites use the
// lowest); read on every derivation.
constexpr char kScryptLog2NVariable[] = "XCSP_TOKEN_SCRYPT_LOG2N";

// CurrentScryptCost gives the cost new derivations use: the default, or
// the default with $XCSP_TOKEN_SCRYPT_LOG2N's N. Returns false when the
// variable holds anything else than a cost a store may carry
// (ScryptCostAllowed): a store written at it would open nowhere.
bool CurrentScryptCost(ScryptCost *out_cost);

// HashPinPbkdf2 returns a PBKDF2-HMAC-SHA256 hash of the PIN (at most
// kMaxPin bytes, preceded by its length byte) under a fresh random salt:
// the admin PIN's form. Throws std::runtime_error if OpenSSL fails.
PinHash HashPinPbkdf2(const uint8_t *pin, size_t pin_len);

// NewUserPinHash derives the PIN with scrypt at `cost` under a fresh salt
// and returns its check value; the key that wraps the token key, from the
// same run, goes to `*out_wrapping_key`. Throws std::runtime_error if
// OpenSSL fails.
PinHash NewUserPinHash(const ScryptCost &cost, const uint8_t *pin, size_t pin_len,
                       SecretBytes *out_wrapping_key);

// CheckPin derives the PIN once as `stored` says and compares the check
// value in constant time. On a match of a scrypt hash, the wrapping key of
// that run goes to `*out_wrapping_key` when it is not null. Throws
// std::runtime_error if OpenSSL fails.
bool CheckPin(const PinHash &stored, const uint8_t *pin, size_t pin_len,
              SecretBytes *out_wrapping_key);

// IsCurrentDerivation says whether `stored` is scrypt at no less than
// `current` in every parameter; a user PIN that is not moves to it at its
// next successful check.
bool IsCurrentDerivation(const PinHash &stored, const ScryptCost &current);

// DerivePinKey returns the 32-byte PBKDF2-HMAC-SHA256 of the PIN (with
// its length byte) under `salt`: the key that wraps the token key in the
// kOwnSalt form of older stores. Throws std::runtime_error if OpenSSL fails.
SecretBytes DerivePinKey(const uint8_t *pin, size_t pin_len,
                         const std::array<uint8_t, kPinSaltSize> &salt, uint32_t iterations);

// NewLoginEpoch returns fresh random bytes for TokenState::login_epoch.
std::array<uint8_t, kLoginEpochSize> NewLoginEpoch();

// The verified-PIN memory of this process, keyed by store path so that a
// change of token directory is a different token: the token key the PIN
// unwrapped, for the store's epoch and token key wrap seen at verification.
// A login counts only while the store has that same epoch and wrap. The
// token key is kept out of swap and core dumps where the system allows, and
// wiped when the login is forgotten or replaced and when the library is
// unloaded. Callers hold the process-state mutex.
void RememberLogin(const std::string &store_path, const TokenState &state,
                   const SecretBytes &token_key);
void ForgetLogin(const std::string &store_path);
bool IsLoggedIn(const std::string &store_path, const TokenState &state);
// LoginTokenKey copies the token key of a login that counts for `state` to
// `*out` and returns true; false (nothing written) when there is none.
bool LoginTokenKey(const std::string &store_path, const TokenState &state, SecretBytes *out);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_PIN_H

// pin.h — PIN hashing and the per-process memory of a verified user PIN.
#ifndef OBKEY_SOFTTOKEN_PIN_H
#define OBKEY_SOFTTOKEN_PIN_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "token_state.h"

namespace obkey::softtoken {

constexpr uint32_t kPinIterations = 10000;

// HashPin returns a PBKDF2-HMAC-SHA256 hash of the PIN (at most kMaxPin
// bytes, preceded by its length byte) under a fresh random salt. Throws std::runtime_error if
// OpenSSL fails.
PinHash HashPin(const uint8_t *pin, size_t pin_len);

// PinMatches compares a PIN with a stored hash in constant time.
bool PinMatches(const PinHash &stored, const uint8_t *pin, size_t pin_len);

// DerivePinKey returns the 32-byte PBKDF2-HMAC-SHA256 of the PIN (with
// its length byte, as HashPin) under `salt`: the key that wraps the token
// key. Its salt is not the PIN check's, so the stored check value says
// nothing about it. Throws std::runtime_error if OpenSSL fails.
SecretBytes DerivePinKey(const uint8_t *pin, size_t pin_len,
                         const std::array<uint8_t, kPinSaltSize> &salt, uint32_t iterations);

// NewLoginEpoch returns fresh random bytes for TokenState::login_epoch.
std::array<uint8_t, kLoginEpochSize> NewLoginEpoch();

// The verified-PIN memory of this process, keyed by store path so that a
// change of token directory is a different token: the token key the PIN
// unwrapped, for the store's epoch and token key wrap seen at verification.
// A login counts only while the store has that same epoch and wrap. The
// token key is wiped when the login is forgotten or replaced and when the
// library is unloaded. Callers hold the process-state mutex.
void RememberLogin(const std::string &store_path, const TokenState &state, SecretBytes token_key);
void ForgetLogin(const std::string &store_path);
bool IsLoggedIn(const std::string &store_path, const TokenState &state);
// LoginTokenKey returns the token key of a login that counts for `state`,
// else null. The pointer is valid until the login changes.
const SecretBytes *LoginTokenKey(const std::string &store_path, const TokenState &state);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_PIN_H

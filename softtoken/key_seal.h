// key_seal.h — private keys encrypted at rest: AES-256-GCM under a random
// token key, and the token key wrapped under a key derived from the user
// PIN.
#ifndef OBKEY_SOFTTOKEN_KEY_SEAL_H
#define OBKEY_SOFTTOKEN_KEY_SEAL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "token_state.h"

namespace obkey::softtoken {

// NewTokenKey returns kTokenKeySize random bytes. Throws std::runtime_error
// if OpenSSL fails.
SecretBytes NewTokenKey();

// WrapTokenKey seals `token_key` under `wrapping_key`, the key that the
// user PIN's scrypt derivation gave beside its check value (NewUserPinHash,
// CheckPin): the kUserPin form. Throws std::runtime_error if OpenSSL fails.
TokenKeyWrap WrapTokenKey(const SecretBytes &wrapping_key, const SecretBytes &token_key);

// WrapTokenKeyWithOwnSalt seals `token_key` the way stores before scrypt
// did: under PBKDF2 of the PIN with a fresh salt of its own (kOwnSalt).
// Throws std::runtime_error if OpenSSL fails.
TokenKeyWrap WrapTokenKeyWithOwnSalt(const uint8_t *pin, size_t pin_len,
                                     const SecretBytes &token_key);

// UnwrapTokenKey opens `wrap` with the PIN, or with `wrapping_key` for the
// kUserPin form. Returns false (output untouched) when the tag does not
// match: a wrong PIN or a damaged wrap.
bool UnwrapTokenKey(const uint8_t *pin, size_t pin_len, const SecretBytes &wrapping_key,
                    const TokenKeyWrap &wrap, SecretBytes *out_token_key);

// SealPrivateKey encrypts `der` for container `slot`, key index
// `key_index`, bound to `public_der` (the additional data of the tag
// covers all three, so a sealed key moved elsewhere or paired with another
// public part fails to open). Throws std::runtime_error if OpenSSL fails.
std::vector<uint8_t> SealPrivateKey(const SecretBytes &token_key, size_t slot, size_t key_index,
                                    const std::vector<uint8_t> &public_der, const SecretBytes &der);

// OpenPrivateKey reverses SealPrivateKey. Returns false (output untouched)
// when the tag does not match.
bool OpenPrivateKey(const SecretBytes &token_key, size_t slot, size_t key_index,
                    const std::vector<uint8_t> &public_der, const std::vector<uint8_t> &sealed,
                    SecretBytes *out_der);

// SealKeyPair puts the key pair `der` into `slot_keys` (container `slot`,
// key index `key_index`) sealed under `token_key`, beside its public part,
// and drops any clear copy there. Returns 0, or XCST_BAD_KEY when `der` is
// not a key.
int32_t SealKeyPair(const SecretBytes &token_key, size_t slot, size_t key_index,
                    const SecretBytes &der, KeySlot *slot_keys);

// SealKeysUnder seals every key pair of `state` under `new_token_key`: a
// clear one as it is, a sealed one after opening it with `old_token_key`.
// Returns 0, or XCST_STORE_BAD_KEY when a key does not open or parse
// (`*state` is then partly changed: callers work on a copy).
int32_t SealKeysUnder(const SecretBytes &old_token_key, const SecretBytes &new_token_key,
                      TokenState *state);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_KEY_SEAL_H

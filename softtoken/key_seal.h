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

// WrapTokenKey seals `token_key` under a key derived from the PIN with a
// fresh salt. Throws std::runtime_error if OpenSSL fails.
TokenKeyWrap WrapTokenKey(const uint8_t *pin, size_t pin_len, const SecretBytes &token_key);

// UnwrapTokenKey opens `wrap` with the PIN. Returns false (output
// untouched) when the tag does not match: a wrong PIN or a damaged wrap.
bool UnwrapTokenKey(const uint8_t *pin, size_t pin_len, const TokenKeyWrap &wrap,
                    SecretBytes *out_token_key);

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

// SealClearKeys seals every key pair of `state` that is still in the clear.
// Returns 0 or XCST_STORE_BAD_KEY.
int32_t SealClearKeys(const SecretBytes &token_key, TokenState *state);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_KEY_SEAL_H

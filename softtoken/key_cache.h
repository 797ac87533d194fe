// key_cache.h — the RSA keys this process parsed, kept between sessions
// while the store they came from is unchanged. Thread-safe.
#ifndef OBKEY_SOFTTOKEN_KEY_CACHE_H
#define OBKEY_SOFTTOKEN_KEY_CACHE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rsa_key.h"
#include "store_format.h"
#include "token_state.h"

namespace obkey::softtoken {

// KeyDerSource yields a key pair's DER when it must be parsed (opening a
// sealed key needs the login). Returns 0 or a status.
using KeyDerSource = std::function<int32_t(SecretBytes *out_der)>;

// CachedKey returns the parsed key pair of container `slot`, key index
// `key_index`, of `state`, the token at `store_path` whose content is
// `stamp`, taking its DER from `der_source` only when it is not kept yet.
// A key is kept with the bytes it was parsed from, and serves later stamps
// whose slot holds the same bytes. Returns 0, the source's status,
// XCST_STORE_CORRUPT or XCST_STORE_BAD_KEY (nothing is kept then).
int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, const TokenState &state,
                  size_t slot, size_t key_index, const KeyDerSource &der_source,
                  std::shared_ptr<const RsaKey> *out_key);

// CachedClearKey is CachedKey for a key pair stored in the clear.
int32_t CachedClearKey(const std::string &store_path, const StoreStamp &stamp,
                       const TokenState &state, size_t slot, size_t key_index,
                       std::shared_ptr<const RsaKey> *out_key);

// CachedPublicKey is the same for the public part of a sealed key pair: a
// key that serves the public operation without the login.
int32_t CachedPublicKey(const std::string &store_path, const StoreStamp &stamp,
                        const TokenState &state, size_t slot, size_t key_index,
                        std::shared_ptr<const RsaKey> *out_key);

// KeepOnlyKeysOf drops the kept keys of the token at `store_path` that
// `state` no longer holds, so that a replaced or deleted key does not stay
// in memory.
void KeepOnlyKeysOf(const std::string &store_path, const TokenState &state);

// CheckAndKeepKeys parses and checks every key of `state`, the store at
// `store_path` whose content is `stamp`, and keeps them, so that a store
// read whole has each key checked once: a clear key pair in full, the public
// part of a sealed one (its private part is checked when a login first
// opens it); a key kept from an earlier store with the same bytes was
// checked then. Returns 0, XCST_STORE_CORRUPT or XCST_STORE_BAD_KEY (the
// token's keys are dropped then).
int32_t CheckAndKeepKeys(const std::string &store_path, const StoreStamp &stamp,
                         const TokenState &state);

// DropCachedKeys forgets the keys of the token at `store_path`;
// DropAllCachedKeys those of every token. A key still in use by a call in
// progress is freed when that call ends.
void DropCachedKeys(const std::string &store_path);
void DropAllCachedKeys();

// CachedKeyCount is the number of keys kept, over all tokens.
size_t CachedKeyCount();

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_KEY_CACHE_H

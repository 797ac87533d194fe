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
// `key_index`, of the token at `store_path` whose content is `stamp`,
// taking its DER from `der_source` (or `der`) only when it is not kept yet.
// The keys of a token are kept for one stamp: a different stamp drops them
// all first. Returns 0, the source's status, XCST_STORE_CORRUPT or
// XCST_STORE_BAD_KEY (nothing is kept then).
int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                  size_t key_index, const KeyDerSource &der_source,
                  std::shared_ptr<const RsaKey> *out_key);
int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                  size_t key_index, const SecretBytes &der, std::shared_ptr<const RsaKey> *out_key);

// CachedPublicKey is the same for the public part of a sealed key pair: a
// key that serves the public operation without the login.
int32_t CachedPublicKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                        size_t key_index, const std::vector<uint8_t> &public_der,
                        std::shared_ptr<const RsaKey> *out_key);

// CheckAndKeepKeys parses and checks every key of `state`, the store at
// `store_path` whose content is `stamp`, and keeps them, so that a store
// read whole has each key checked once: a clear key pair in full, the public
// part of a sealed one (its private part is checked when a login first
// opens it). Returns 0, XCST_STORE_CORRUPT or XCST_STORE_BAD_KEY (the
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

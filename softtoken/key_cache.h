// key_cache.h — the RSA keys this process parsed, kept between sessions
// while the store they came from is unchanged. Thread-safe.
#ifndef OBKEY_SOFTTOKEN_KEY_CACHE_H
#define OBKEY_SOFTTOKEN_KEY_CACHE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "softtoken/rsa_key.h"
#include "softtoken/store_format.h"
#include "softtoken/token_state.h"

namespace obkey::softtoken {

// CachedKey returns the parsed key pair `der` of container `slot`, key
// index `key_index`, of the token at `store_path` whose content is `stamp`.
// The keys of a token are kept for one stamp: a different stamp drops them
// all first. Returns 0, XCST_STORE_CORRUPT or XCST_STORE_BAD_KEY (nothing is
// kept then).
int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                  size_t key_index, const SecretBytes &der, std::shared_ptr<const RsaKey> *out_key);

// CheckAndKeepKeys parses and checks every private key of `state`, the
// store at `store_path` whose content is `stamp`, and keeps them, so that a
// store read whole has each key checked once. Returns 0, XCST_STORE_CORRUPT
// or XCST_STORE_BAD_KEY (the token's keys are dropped then).
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

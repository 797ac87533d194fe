#include "key_cache.h"

#include <openssl/crypto.h>

#include <array>
#include <functional>
#include <map>

#include "softtoken_os.h"
#include "softtoken_status.h"
#include "token_state.h"

namespace obkey::softtoken {

namespace {

using KeyTableOf =
    std::array<std::array<std::shared_ptr<const RsaKey>, kKeyTypes>, kContainerSlots>;

struct TokenKeys {
  StoreStamp stamp;
  KeyTableOf keys;
  KeyTableOf public_keys;  // public parts of sealed key pairs
};

struct KeyTable {
  // OpenSSL frees its own state at exit; initialising it before this table
  // exists makes the table's destructor, which frees keys, run first.
  KeyTable() { OPENSSL_init_crypto(0, nullptr); }

  os::Mutex mutex;
  std::map<std::string, TokenKeys> tokens;
};

// The table lives until the library is unloaded or the process exits, and
// its keys with it.
KeyTable &Table() {
  static KeyTable table;
  return table;
}

}  // namespace

namespace {

// Kept finds or parses one key of a token's table; `parse` makes it.
int32_t Kept(const std::string &store_path, const StoreStamp &stamp, size_t slot, size_t key_index,
             KeyTableOf TokenKeys::*table_of, const std::function<int32_t(RsaKey *)> &parse,
             std::shared_ptr<const RsaKey> *out_key) {
  if (slot >= kContainerSlots || key_index >= kKeyTypes) return XCST_INTERNAL;
  KeyTable &table = Table();
  {
    os::MutexLock hold(&table.mutex);
    TokenKeys &token = table.tokens[store_path];
    if (token.stamp != stamp) token = TokenKeys{stamp, {}, {}};
    if (const auto &kept = (token.*table_of)[slot][key_index]) {
      *out_key = kept;
      return 0;
    }
  }
  // Parsing is the slow part; other tokens' calls need not wait for it.
  auto key = std::make_shared<RsaKey>();
  if (int32_t status = parse(key.get())) return status;
  os::MutexLock hold(&table.mutex);
  TokenKeys &token = table.tokens[store_path];
  if (token.stamp != stamp) token = TokenKeys{stamp, {}, {}};
  auto &kept = (token.*table_of)[slot][key_index];
  // Another thread may have parsed the same key meanwhile: use the first.
  if (kept == nullptr) kept = std::move(key);
  *out_key = kept;
  return 0;
}

}  // namespace

int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                  size_t key_index, const KeyDerSource &der_source,
                  std::shared_ptr<const RsaKey> *out_key) {
  return Kept(
      store_path, stamp, slot, key_index, &TokenKeys::keys,
      [&](RsaKey *key) {
        SecretBytes der;
        if (int32_t status = der_source(&der)) return status;
        return key->Load(der);
      },
      out_key);
}

int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                  size_t key_index, const SecretBytes &der,
                  std::shared_ptr<const RsaKey> *out_key) {
  return Kept(
      store_path, stamp, slot, key_index, &TokenKeys::keys,
      [&](RsaKey *key) { return key->Load(der); }, out_key);
}

int32_t CachedPublicKey(const std::string &store_path, const StoreStamp &stamp, size_t slot,
                        size_t key_index, const std::vector<uint8_t> &public_der,
                        std::shared_ptr<const RsaKey> *out_key) {
  return Kept(
      store_path, stamp, slot, key_index, &TokenKeys::public_keys,
      [&](RsaKey *key) { return key->LoadPublic(public_der); }, out_key);
}

int32_t CheckAndKeepKeys(const std::string &store_path, const StoreStamp &stamp,
                         const TokenState &state) {
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    for (size_t index = 0; index < kKeyTypes; ++index) {
      const KeySlot &keys = state.containers[slot].keys[index];
      std::shared_ptr<const RsaKey> key;
      int32_t status = 0;
      if (!keys.sealed_key.empty()) {
        status = CachedPublicKey(store_path, stamp, slot, index, keys.public_key_der, &key);
      } else if (!keys.private_key_der.empty()) {
        status = CachedKey(store_path, stamp, slot, index, keys.private_key_der, &key);
      }
      if (status != 0) {
        DropCachedKeys(store_path);
        return status;
      }
    }
  }
  return 0;
}

void DropCachedKeys(const std::string &store_path) {
  std::map<std::string, TokenKeys>::node_type dropped;
  KeyTable &table = Table();
  os::MutexLock hold(&table.mutex);
  dropped = table.tokens.extract(store_path);
}

void DropAllCachedKeys() {
  std::map<std::string, TokenKeys> dropped;
  KeyTable &table = Table();
  os::MutexLock hold(&table.mutex);
  dropped.swap(table.tokens);
}

size_t CachedKeyCount() {
  KeyTable &table = Table();
  os::MutexLock hold(&table.mutex);
  size_t count = 0;
  for (const auto &entry : table.tokens) {
    for (const auto &slot : entry.second.keys) {
      for (const auto &key : slot) count += key != nullptr;
    }
    for (const auto &slot : entry.second.public_keys) {
      for (const auto &key : slot) count += key != nullptr;
    }
  }
  return count;
}

}  // namespace obkey::softtoken

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

// KeptKey is one parsed key with the stored bytes it came from: a later
// store whose slot holds the same bytes (under the same login epoch, which
// a sealed key opens under) gives the same key, so a commit that left the
// key alone, such as a login's retry counter, does not make every process
// parse and check it again.
struct KeptKey {
  StoreStamp stamp;  // the last store it was found unchanged in
  std::array<uint8_t, kLoginEpochSize> login_epoch{};
  SecretBytes private_key_der;
  std::vector<uint8_t> sealed_key;
  std::vector<uint8_t> public_key_der;
  std::shared_ptr<const RsaKey> key;

  bool CameFrom(const TokenState &state, const KeySlot &slot) const {
    return key != nullptr && login_epoch == state.login_epoch && sealed_key == slot.sealed_key &&
           public_key_der == slot.public_key_der &&
           private_key_der.size() == slot.private_key_der.size() &&
           CRYPTO_memcmp(private_key_der.data(), slot.private_key_der.data(),
                         private_key_der.size()) == 0;
  }
};

using KeyTableOf = std::array<std::array<KeptKey, kKeyTypes>, kContainerSlots>;

struct TokenKeys {
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

// Find returns the kept key of a slot when it came from the slot's bytes,
// and marks it as found in `stamp`; the table's mutex is held.
std::shared_ptr<const RsaKey> Find(KeptKey *kept, const StoreStamp &stamp, const TokenState &state,
                                   const KeySlot &slot) {
  if (kept->key == nullptr) return nullptr;
  if (kept->stamp != stamp) {
    if (!kept->CameFrom(state, slot)) return nullptr;
    kept->stamp = stamp;
  }
  return kept->key;
}

// Kept finds or parses one key of a token's table; `parse` makes it.
int32_t Kept(const std::string &store_path, const StoreStamp &stamp, const TokenState &state,
             size_t slot, size_t key_index, KeyTableOf TokenKeys::*table_of,
             const std::function<int32_t(RsaKey *)> &parse,
             std::shared_ptr<const RsaKey> *out_key) {
  if (slot >= kContainerSlots || key_index >= kKeyTypes) return XCST_INTERNAL;
  const KeySlot &stored = state.containers[slot].keys[key_index];
  KeyTable &table = Table();
  {
    os::MutexLock hold(&table.mutex);
    KeptKey &kept = (table.tokens[store_path].*table_of)[slot][key_index];
    if (auto found = Find(&kept, stamp, state, stored)) {
      *out_key = std::move(found);
      return 0;
    }
  }
  // Parsing is the slow part; other tokens' calls need not wait for it.
  auto key = std::make_shared<RsaKey>();
  if (int32_t status = parse(key.get())) return status;
  os::MutexLock hold(&table.mutex);
  KeptKey &kept = (table.tokens[store_path].*table_of)[slot][key_index];
  // Another thread may have parsed the same key meanwhile: use the first.
  if (auto found = Find(&kept, stamp, state, stored)) {
    *out_key = std::move(found);
    return 0;
  }
  kept = KeptKey{stamp,
                 state.login_epoch,
                 stored.private_key_der,
                 stored.sealed_key,
                 stored.public_key_der,
                 std::move(key)};
  *out_key = kept.key;
  return 0;
}

}  // namespace

int32_t CachedKey(const std::string &store_path, const StoreStamp &stamp, const TokenState &state,
                  size_t slot, size_t key_index, const KeyDerSource &der_source,
                  std::shared_ptr<const RsaKey> *out_key) {
  return Kept(
      store_path, stamp, state, slot, key_index, &TokenKeys::keys,
      [&](RsaKey *key) {
        SecretBytes der;
        if (int32_t status = der_source(&der)) return status;
        return key->Load(der);
      },
      out_key);
}

int32_t CachedClearKey(const std::string &store_path, const StoreStamp &stamp,
                       const TokenState &state, size_t slot, size_t key_index,
                       std::shared_ptr<const RsaKey> *out_key) {
  return CachedKey(
      store_path, stamp, state, slot, key_index,
      [&](SecretBytes *out_der) {
        *out_der = state.containers[slot].keys[key_index].private_key_der;
        return 0;
      },
      out_key);
}

int32_t CachedPublicKey(const std::string &store_path, const StoreStamp &stamp,
                        const TokenState &state, size_t slot, size_t key_index,
                        std::shared_ptr<const RsaKey> *out_key) {
  return Kept(
      store_path, stamp, state, slot, key_index, &TokenKeys::public_keys,
      [&](RsaKey *key) {
        return key->LoadPublic(state.containers[slot].keys[key_index].public_key_der);
      },
      out_key);
}

void KeepOnlyKeysOf(const std::string &store_path, const TokenState &state) {
  std::vector<std::shared_ptr<const RsaKey>> dropped;
  KeyTable &table = Table();
  os::MutexLock hold(&table.mutex);
  auto token = table.tokens.find(store_path);
  if (token == table.tokens.end()) return;
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    for (size_t index = 0; index < kKeyTypes; ++index) {
      const KeySlot &stored = state.containers[slot].keys[index];
      for (KeyTableOf *table_of : {&token->second.keys, &token->second.public_keys}) {
        KeptKey &kept = (*table_of)[slot][index];
        if (kept.key != nullptr && !kept.CameFrom(state, stored)) {
          // Freed outside the mutex, unless a call still uses it.
          dropped.push_back(std::move(kept.key));
          kept = KeptKey{};
        }
      }
    }
  }
}

int32_t CheckAndKeepKeys(const std::string &store_path, const StoreStamp &stamp,
                         const TokenState &state) {
  KeepOnlyKeysOf(store_path, state);
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    for (size_t index = 0; index < kKeyTypes; ++index) {
      const KeySlot &keys = state.containers[slot].keys[index];
      std::shared_ptr<const RsaKey> key;
      int32_t status = 0;
      if (!keys.sealed_key.empty()) {
        status = CachedPublicKey(store_path, stamp, state, slot, index, &key);
      } else if (!keys.private_key_der.empty()) {
        status = CachedClearKey(store_path, stamp, state, slot, index, &key);
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
    for (const KeyTableOf *table_of : {&entry.second.keys, &entry.second.public_keys}) {
      for (const auto &slot : *table_of) {
        for (const KeptKey &kept : slot) count += kept.key != nullptr;
      }
    }
  }
  return count;
}

}  // namespace obkey::softtoken

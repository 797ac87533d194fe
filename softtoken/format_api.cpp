#include <cstring>

#include "key_seal.h"
#include "pin.h"
#include "softtoken_api.h"
#include "softtoken_os.h"
#include "store_file.h"

namespace obkey::softtoken {

namespace {

const uint8_t *Bytes(const char *text) {
  return reinterpret_cast<const uint8_t *>(text);
}

// AdminPinFor decides whether `admin_pin` may format the token found at
// `paths` and yields the admin PIN hash the formatted token keeps.
// `*out_previous` receives the stamp of the store being replaced, so that
// the formatted token's generation follows it.
int32_t AdminPinFor(const StorePaths &paths, const char *admin_pin, PinHash *out_admin,
                    StoreStamp *out_previous) {
  size_t admin_len = std::strlen(admin_pin);
  LoadedStore current;
  int32_t status = LoadStore(paths, &current);
  if (status == XCST_NO_TOKEN) {
    // A new token carries the initial admin PIN.
    if (std::strcmp(admin_pin, kInitialAdminPin) != 0) return XCST_ADMIN_PIN_INCORRECT;
    *out_admin = HashPinPbkdf2(Bytes(kInitialAdminPin), std::strlen(kInitialAdminPin));
    return 0;
  }
  // An unreadable store is never overwritten: its owner must look at it.
  if (status != 0) return status;
  if (admin_len > kMaxPin ||
      !CheckPin(current.state->admin_pin, Bytes(admin_pin), admin_len, nullptr)) {
    return XCST_ADMIN_PIN_INCORRECT;
  }
  *out_admin = current.state->admin_pin;
  *out_previous = current.stamp;
  return 0;
}

TokenState FreshToken(const PinHash &admin_pin, const ScryptCost &cost) {
  TokenState state;
  state.login_epoch = NewLoginEpoch();
  state.admin_pin = admin_pin;
  SecretBytes wrapping_key;
  state.user_pin.hash =
      NewUserPinHash(cost, Bytes(kInitialUserPin), std::strlen(kInitialUserPin), &wrapping_key);
  state.user_pin.tries_left = kUserPinTries;
  // A new token key for the new token, under the default PIN.
  state.token_key_wrap = WrapTokenKey(wrapping_key, NewTokenKey());
  return state;
}

}  // namespace

int32_t FormatToken(const char *admin_pin, const char *second_text, int32_t device_index) {
  if (admin_pin == nullptr || second_text == nullptr || device_index < 0) {
    return XCST_BAD_ARGUMENT;
  }
  ScryptCost cost;
  if (!CurrentScryptCost(&cost)) return XCST_BAD_SETTING;
  StorePaths paths;
  if (!StorePathsFor(device_index, &paths)) return XCST_STORE_IO;
  // Nothing is made in a folder another account controls; an existing
  // folder keeps the permissions it has: one that others may write to is
  // not made private behind its owner's back.
  if (int32_t status = CheckTokenFolder(paths.dir)) return status;
  if (!os::MakePrivateDirs(paths.dir)) return XCST_STORE_IO;
  if (int32_t status = CheckTokenFolder(paths.dir)) return status;
  StoreLock lock;
  if (int32_t status = lock.Acquire(paths.lock)) return status;
  PinHash admin_hash;
  StoreStamp previous;
  if (int32_t status = AdminPinFor(paths, admin_pin, &admin_hash, &previous)) return status;
  // Saving forgets this process's parsed copy and keys of the old token.
  StoreStamp formatted;
  int32_t status = SaveStore(paths, &lock, FreshToken(admin_hash, cost), previous, &formatted);
  // The old token key is of no use any more: wipe this process's copy.
  os::ProcessStateGuard guard;
  ForgetLogin(paths.store);
  return status;
}

}  // namespace obkey::softtoken

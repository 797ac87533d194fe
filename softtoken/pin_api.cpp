#include <openssl/crypto.h>

#include "key_seal.h"
#include "pin.h"
#include "session.h"
#include "softtoken_api.h"
#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

int32_t CheckPinArgument(const uint8_t *pin, uint32_t pin_len) {
  if (pin == nullptr) return XCST_BAD_ARGUMENT;
  if (pin_len == 0 || pin_len > kMaxPin) return XCST_PIN_LENGTH;
  return 0;
}

// CheckUserPin compares a PIN with the session's user PIN and keeps the
// retry counter. The try is paid before the comparison: the counter, one
// lower, is in the store before the PIN is looked at, so no kill at any
// moment, nor anything a caller could watch (the temporary file appearing),
// tells a wrong PIN without costing a try. A match restores the counter,
// with one more write.
int32_t CheckUserPin(Session *session, const uint8_t *pin, uint32_t pin_len) {
  const uint8_t tries_left = session->state->user_pin.tries_left;
  if (tries_left == 0) return XCST_PIN_LOCKED;
  if (int32_t status = CommitPinTries(session, static_cast<uint8_t>(tries_left - 1))) {
    return status;
  }
  if (!PinMatches(session->state->user_pin.hash, pin, pin_len)) {
    // A failed check also ends an earlier login, as on a card.
    ForgetLogin(session->paths.store);
    return tries_left == 1 ? XCST_PIN_LOCKED : XCST_PIN_INCORRECT;
  }
  return CommitPinTries(session, kUserPinTries);
}

// UnlockTokenKey opens the token key with a PIN that passed its check. A
// store written before keys were sealed gets a new token key, wrapped under
// the PIN, and its clear keys sealed: changes of the session, committed at
// its disconnect.
int32_t UnlockTokenKey(Session *session, const uint8_t *pin, uint32_t pin_len,
                       SecretBytes *out_token_key) {
  const TokenKeyWrap &wrap = session->state->token_key_wrap;
  if (wrap.present) {
    // The PIN matched its check: a wrap it does not open was tampered with.
    return UnwrapTokenKey(pin, pin_len, wrap, out_token_key) ? 0 : XCST_STORE_BAD_KEY;
  }
  SecretBytes token_key = NewTokenKey();
  TokenKeyWrap new_wrap = WrapTokenKey(pin, pin_len, token_key);
  int32_t status = StageChange(session, [&](TokenState &next) {
    next.token_key_wrap = new_wrap;
    return SealClearKeys(token_key, &next);
  });
  if (status != 0) return status;
  *out_token_key = std::move(token_key);
  return 0;
}

}  // namespace

int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type) {
  os::ProcessStateGuard guard;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (pin_type != XC_PIN_USER) return XCST_BAD_PIN_TYPE;
  if (int32_t status = CheckPinArgument(pin, pin_len)) return status;
  if (int32_t status = CheckUserPin(s, pin, pin_len)) return status;
  SecretBytes token_key;
  if (int32_t status = UnlockTokenKey(s, pin, pin_len, &token_key)) return status;
  RememberLogin(s->paths.store, *s->state, std::move(token_key));
  return 0;
}

int32_t ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                  const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  os::ProcessStateGuard guard;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (pin_type != XC_PIN_USER) return XCST_BAD_PIN_TYPE;
  if (int32_t status = CheckPinArgument(old_pin, old_len)) return status;
  if (int32_t status = CheckPinArgument(new_pin, new_len)) return status;
  if (int32_t status = CheckUserPin(s, old_pin, old_len)) return status;
  SecretBytes token_key;
  if (int32_t status = UnlockTokenKey(s, old_pin, old_len, &token_key)) return status;
  // The keys stay sealed as they are: only the token key is wrapped anew.
  PinHash new_hash = HashPin(new_pin, new_len);
  TokenKeyWrap wrap = WrapTokenKey(new_pin, new_len, token_key);
  auto epoch = NewLoginEpoch();
  int32_t status = StageChange(s, [&](TokenState &next) {
    next.user_pin.hash = new_hash;
    next.user_pin.tries_left = kUserPinTries;
    next.login_epoch = epoch;
    next.token_key_wrap = wrap;
    return 0;
  });
  // The new epoch ends the login; its token key goes now.
  ForgetLogin(s->paths.store);
  OPENSSL_cleanse(new_hash.hash.data(), new_hash.hash.size());
  return status;
}

}  // namespace obkey::softtoken

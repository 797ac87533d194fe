#include <openssl/crypto.h>

#include "softtoken/os.h"
#include "softtoken/pin.h"
#include "softtoken/session.h"
#include "softtoken/token_api.h"

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

}  // namespace

int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type) {
  os::ProcessStateGuard guard;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (pin_type != XC_PIN_USER) return XCST_BAD_PIN_TYPE;
  if (int32_t status = CheckPinArgument(pin, pin_len)) return status;
  if (int32_t status = CheckUserPin(s, pin, pin_len)) return status;
  RememberLogin(s->paths.store, *s->state);
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
  PinHash new_hash = HashPin(new_pin, new_len);
  auto epoch = NewLoginEpoch();
  int32_t status = StageChange(s, [&](TokenState &next) {
    next.user_pin.hash = new_hash;
    next.user_pin.tries_left = kUserPinTries;
    next.login_epoch = epoch;
    return 0;
  });
  OPENSSL_cleanse(new_hash.hash.data(), new_hash.hash.size());
  return status;
}

}  // namespace obkey::softtoken

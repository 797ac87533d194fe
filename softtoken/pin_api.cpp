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
// retry counter: one try fewer on a mismatch (locking at 0), full again on
// a match. The counter is written before the answer is given, so a caller
// cannot gain tries by killing the process.
int32_t CheckUserPin(Session *session, const uint8_t *pin, uint32_t pin_len) {
  if (session->state->user_pin.tries_left == 0) return XCST_PIN_LOCKED;
  if (!PinMatches(session->state->user_pin.hash, pin, pin_len)) {
    // A failed check also ends an earlier login, as on a card.
    ForgetLogin(session->paths.store);
    int32_t status = CommitChange(session, [](TokenState &next) {
      --next.user_pin.tries_left;
      return 0;
    });
    if (status != 0) return status;
    return session->state->user_pin.tries_left == 0 ? XCST_PIN_LOCKED : XCST_PIN_INCORRECT;
  }
  if (session->state->user_pin.tries_left == kUserPinTries) return 0;
  return CommitChange(session, [](TokenState &next) {
    next.user_pin.tries_left = kUserPinTries;
    return 0;
  });
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
  int32_t status = CommitChange(s, [&](TokenState &next) {
    next.user_pin.hash = new_hash;
    next.user_pin.tries_left = kUserPinTries;
    next.login_epoch = epoch;
    return 0;
  });
  OPENSSL_cleanse(new_hash.hash.data(), new_hash.hash.size());
  return status;
}

}  // namespace obkey::softtoken

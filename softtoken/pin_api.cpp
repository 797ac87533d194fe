#include <openssl/crypto.h>

#include "key_seal.h"
#include "pin.h"
#include "pin_in_flight.h"
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

// PayPinTry takes one try off the user PIN's retry counter before the PIN
// is looked at: the counter, one lower, is in the store first, so no kill at
// any moment, nor anything a caller could watch (the temporary file
// appearing), tells a wrong PIN without costing a try. `*out_tries_left` is
// the count before the try; `*out_hash` the hash the PIN is to be checked
// against.
int32_t PayPinTry(Session *session, uint8_t *out_tries_left, PinHash *out_hash) {
  const uint8_t tries_left = session->state->user_pin.tries_left;
  if (tries_left == 0) return XCST_PIN_LOCKED;
  if (int32_t status = CommitPinTries(session, static_cast<uint8_t>(tries_left - 1))) {
    return status;
  }
  *out_tries_left = tries_left;
  *out_hash = session->state->user_pin.hash;
  return 0;
}

// WrongPin answers a PIN that failed its check, `tries_left` being the
// count before its try was paid. A failed check also ends an earlier login,
// as on a card.
int32_t WrongPin(const std::string &store_path, uint8_t tries_left) {
  ForgetLogin(store_path);
  return tries_left == 1 ? XCST_PIN_LOCKED : XCST_PIN_INCORRECT;
}

bool SamePinHash(const PinHash &a, const PinHash &b) {
  return a.kdf == b.kdf && a.salt == b.salt && a.hash == b.hash && a.iterations == b.iterations &&
         a.scrypt == b.scrypt;
}

// CheckUserPin compares a PIN with the session's user PIN and keeps the
// retry counter (the try is paid first, PayPinTry). A match restores the
// counter, with one more write. The one derivation of the PIN also gives
// the key that wraps the token key (`*out_wrapping_key`, for scrypt
// hashes).
int32_t CheckUserPin(Session *session, const uint8_t *pin, uint32_t pin_len,
                     SecretBytes *out_wrapping_key) {
  uint8_t tries_left = 0;
  PinHash stored;
  if (int32_t status = PayPinTry(session, &tries_left, &stored)) return status;
  const bool matches = CheckPin(stored, pin, pin_len, out_wrapping_key);
  OPENSSL_cleanse(stored.hash.data(), stored.hash.size());
  if (!matches) return WrongPin(session->paths.store, tries_left);
  return CommitPinTries(session, kUserPinTries);
}

// OpenTokenKey opens the token key with a PIN that passed its check. A
// store written before keys were sealed has none yet: a new one is made.
int32_t OpenTokenKey(const TokenState &state, const uint8_t *pin, uint32_t pin_len,
                     const SecretBytes &wrapping_key, SecretBytes *out_token_key) {
  if (!state.token_key_wrap.present()) {
    *out_token_key = NewTokenKey();
    return 0;
  }
  // The PIN matched its check: a wrap it does not open was tampered with.
  return UnwrapTokenKey(pin, pin_len, wrapping_key, state.token_key_wrap, out_token_key)
             ? 0
             : XCST_STORE_BAD_KEY;
}

// StagePinRekey stages `pin` as the user PIN under scrypt at `cost`,
// with `new_token_key` wrapped under it and every key sealed under
// `new_token_key` (opened with `old_token_key` where sealed). The caller
// decides the rest of the change (`extra`).
template <typename Extra>
int32_t StagePinRekey(Session *session, const ScryptCost &cost, const uint8_t *pin,
                      uint32_t pin_len, const SecretBytes &old_token_key,
                      const SecretBytes &new_token_key, Extra extra) {
  SecretBytes wrapping_key;
  PinHash hash = NewUserPinHash(cost, pin, pin_len, &wrapping_key);
  TokenKeyWrap wrap = WrapTokenKey(wrapping_key, new_token_key);
  int32_t status = StageChange(session, [&](TokenState &next) {
    next.user_pin.hash = hash;
    next.token_key_wrap = wrap;
    extra(next);
    return SealKeysUnder(old_token_key, new_token_key, &next);
  });
  OPENSSL_cleanse(hash.hash.data(), hash.hash.size());
  return status;
}

// NeedsUpgrade says whether a verified PIN should move its token to the
// current form: the current derivation, the token key wrapped under it,
// every key sealed.
bool NeedsUpgrade(const TokenState &state, const ScryptCost &current) {
  return !IsCurrentDerivation(state.user_pin.hash, current) ||
         state.token_key_wrap.form != WrapForm::kUserPin;
}

}  // namespace

namespace {

// MustAwaitChecksInFlight says whether a session that finds no try left
// should wait for the checks in flight before it believes the counter: one
// of them may restore it. A session with a staged change holds the lock to
// its commit, which those checks need to settle: it answers as it finds.
bool MustAwaitChecksInFlight(const Session &session, AwaitedPinChecks *out) {
  if (session.state->user_pin.tries_left != 0 || session.changed ||
      !PinChecksInFlight(session.paths.tries) ||
      os::StatIdentity(session.paths.store, &out->store_seen) != os::ReadStatus::kOk) {
    return false;
  }
  out->tries_path = session.paths.tries;
  out->store_path = session.paths.store;
  return true;
}

// A PIN check paid for and derived outside the store lock (VerifyPin),
// marked in flight from its payment to its answer.
struct PinTry {
  uint8_t tries_left = 0;
  PinHash hash;
  SecretBytes wrapping_key;
  bool matches = false;
  PinCheckInFlight in_flight;

  PinTry() = default;
  PinTry(const PinTry &) = delete;
  PinTry &operator=(const PinTry &) = delete;
  ~PinTry() { OPENSSL_cleanse(hash.hash.data(), hash.hash.size()); }
};

// TryPinOutsideLock pays a try under the lock, then derives the PIN with the
// lock and the process mutex let go: the derivation takes a fraction of a
// second, and no other session of the token, nor any other thread here,
// needs to wait for it. With no try left and checks in flight, it waits
// for them first.
int32_t TryPinOutsideLock(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type,
                          PinTry *out) {
  for (;;) {
    AwaitedPinChecks await;
    bool awaiting = false;
    {
      SessionCall call(session);
      if (int32_t status = call.status()) return status;
      Session *s = FindSession(session);
      if (s == nullptr) return XCST_BAD_HANDLE;
      if (pin_type != XC_PIN_USER) return XCST_BAD_PIN_TYPE;
      if (int32_t status = CheckPinArgument(pin, pin_len)) return status;
      awaiting = MustAwaitChecksInFlight(*s, &await);
      if (!awaiting) {
        // Marked before the try is paid: whoever finds the counter lower
        // also finds this check in flight.
        if (int32_t status = out->in_flight.Begin(s->paths.tries)) return status;
        if (int32_t status = PayPinTry(s, &out->tries_left, &out->hash)) return status;
      }
      LetLockGoWhileComputing(s);
    }
    if (!awaiting) break;
    if (int32_t status = WaitForPinChecksInFlight(await)) return status;
  }
  out->matches = CheckPin(out->hash, pin, pin_len, &out->wrapping_key);
  return 0;
}

// AnswerWrongPin answers a PIN that failed its check. The one that used the
// last try says XCST_PIN_LOCKED, unless a check paid before it and still in
// flight turns out right and restores the tries: in the order the checks
// are settled this one came first, an ordinary wrong PIN.
int32_t AnswerWrongPin(XcHandle session, PinTry *paid) {
  AwaitedPinChecks await;
  {
    SessionCall call(session);
    if (int32_t status = call.status()) return status;
    Session *s = FindSession(session);
    if (s == nullptr) return XCST_BAD_HANDLE;
    if (paid->tries_left != 1) return WrongPin(s->paths.store, paid->tries_left);
    paid->in_flight.End();
    if (!MustAwaitChecksInFlight(*s, &await)) return WrongPin(s->paths.store, 1);
    LetLockGoWhileComputing(s);
  }
  // At the timeout the answer stands as the counter was.
  WaitForPinChecksInFlight(await);
  SessionCall call(session);
  if (int32_t status = call.status()) return status;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  return WrongPin(s->paths.store, s->state->user_pin.tries_left == 0 ? 1 : 2);
}

}  // namespace

int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type) {
  for (;;) {
    PinTry paid;
    if (int32_t status = TryPinOutsideLock(session, pin, pin_len, pin_type, &paid)) return status;
    if (!paid.matches) return AnswerWrongPin(session, &paid);
    SessionCall call(session);
    if (int32_t status = call.status()) return status;
    Session *s = FindSession(session);
    if (s == nullptr) return XCST_BAD_HANDLE;
    // The PIN was changed (or the token formatted) while it was derived:
    // it is checked again, as a try against the new PIN.
    if (!SamePinHash(paid.hash, s->state->user_pin.hash)) continue;
    if (int32_t status = CommitPinTries(s, kUserPinTries)) return status;
    SecretBytes token_key;
    if (int32_t status = OpenTokenKey(*s->state, pin, pin_len, paid.wrapping_key, &token_key)) {
      return status;
    }
    // An older store moves to the current form with this PIN, keeping its
    // token key: a change of the session, committed at its disconnect. A
    // cost no store may carry is never written: the store stays as it is.
    ScryptCost current;
    if (CurrentScryptCost(&current) && NeedsUpgrade(*s->state, current)) {
      int32_t status =
          StagePinRekey(s, current, pin, pin_len, token_key, token_key, [](TokenState &) {});
      if (status != 0) return status;
    }
    RememberLogin(s->paths.store, *s->state, token_key);
    return 0;
  }
}

namespace {

// ChangePinUnderLock makes the change of ChangePin in a session that holds
// the lock and whose counter stands, its new PIN derived at `cost`.
int32_t ChangePinUnderLock(Session *s, const ScryptCost &cost, const uint8_t *old_pin,
                           uint32_t old_len, const uint8_t *new_pin, uint32_t new_len) {
  SecretBytes wrapping_key;
  if (int32_t status = CheckUserPin(s, old_pin, old_len, &wrapping_key)) return status;
  SecretBytes old_token_key;
  if (int32_t status = OpenTokenKey(*s->state, old_pin, old_len, wrapping_key, &old_token_key)) {
    return status;
  }
  // A new token key, so that a copy of the store taken before the change
  // opens no key made after it with the old PIN.
  const SecretBytes new_token_key = NewTokenKey();
  const auto epoch = NewLoginEpoch();
  int32_t status =
      StagePinRekey(s, cost, new_pin, new_len, old_token_key, new_token_key, [&](TokenState &next) {
        next.user_pin.tries_left = kUserPinTries;
        next.login_epoch = epoch;
      });
  // The new epoch ends the login; its token key goes now, whether or not
  // the change is kept.
  ForgetLogin(s->paths.store);
  return status;
}

}  // namespace

int32_t ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                  const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  for (;;) {
    AwaitedPinChecks await;
    {
      SessionCall call(session);
      if (int32_t status = call.status()) return status;
      Session *s = FindSession(session);
      if (s == nullptr) return XCST_BAD_HANDLE;
      if (pin_type != XC_PIN_USER) return XCST_BAD_PIN_TYPE;
      if (int32_t status = CheckPinArgument(old_pin, old_len)) return status;
      if (int32_t status = CheckPinArgument(new_pin, new_len)) return status;
      // Refused before the PIN costs a try: a store at that cost would open
      // nowhere.
      ScryptCost cost;
      if (!CurrentScryptCost(&cost)) return XCST_BAD_SETTING;
      if (!MustAwaitChecksInFlight(*s, &await)) {
        return ChangePinUnderLock(s, cost, old_pin, old_len, new_pin, new_len);
      }
      LetLockGoWhileComputing(s);
    }
    if (int32_t status = WaitForPinChecksInFlight(await)) return status;
  }
}

}  // namespace obkey::softtoken

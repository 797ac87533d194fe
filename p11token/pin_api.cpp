// The user PIN: its check and its change, and which PIN logged in.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <map>

#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"
#include "secret_array.h"

namespace obkey::p11token {

namespace {

// The PIN that last logged in on each slot through this process, as a
// SHA-256 over a random salt of the process's and the PIN.
using PinHash = SecretArray<32>;
std::map<CK_SLOT_ID, PinHash> remembered_pins;

bool HashPin(const uint8_t *pin, uint32_t pin_len, PinHash *out) {
  static std::array<uint8_t, 32> salt{};
  static bool salted = false;
  if (!salted && RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return false;
  salted = true;
  EVP_MD_CTX *context = EVP_MD_CTX_new();
  unsigned int len = 0;
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
            EVP_DigestUpdate(context, salt.data(), salt.size()) == 1 &&
            EVP_DigestUpdate(context, pin, pin_len) == 1 &&
            EVP_DigestFinal_ex(context, out->data(), &len) == 1 && len == 32;
  EVP_MD_CTX_free(context);
  return ok;
}

void RememberPin(CK_SLOT_ID slot, const uint8_t *pin, uint32_t pin_len) {
  if (!HashPin(pin, pin_len, &remembered_pins[slot])) remembered_pins.erase(slot);
}

bool IsRememberedPin(CK_SLOT_ID slot, const uint8_t *pin, uint32_t pin_len) {
  auto it = remembered_pins.find(slot);
  PinHash candidate;
  return it != remembered_pins.end() && HashPin(pin, pin_len, &candidate) &&
         CRYPTO_memcmp(candidate.data(), it->second.data(), 32) == 0;
}

int32_t CheckPin(const uint8_t *pin, uint32_t pin_len) {
  if (pin == nullptr) return P11ST_BAD_ARGUMENT;
  if (pin_len == 0) return P11ST_PIN_LENGTH;
  return 0;
}

}  // namespace

void ForgetPins() {
  remembered_pins.clear();
}

int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (pin_type != XC_PIN_USER) return P11ST_BAD_PIN_TYPE;
  if (int32_t status = CheckPin(pin, pin_len)) return status;
  CK_UTF8CHAR_PTR pin_text = const_cast<CK_UTF8CHAR_PTR>(pin);
  CK_RV rv = c.functions->C_Login(c.session, CKU_USER, pin_text, pin_len);
  // A login in force makes the module take any PIN unchecked. The PIN that
  // logged in through this process is known again without ending the login
  // (which other programs sharing the module's login, through one p11-kit
  // server, would lose); any other one ends it and is checked, so that a
  // wrong PIN also ends the login, as on a card.
  if (rv == CKR_USER_ALREADY_LOGGED_IN && IsRememberedPin(c.slot, pin, pin_len)) return 0;
  if (rv == CKR_USER_ALREADY_LOGGED_IN) {
    c.functions->C_Logout(c.session);
    rv = c.functions->C_Login(c.session, CKU_USER, pin_text, pin_len);
  }
  if (rv == CKR_OK) {
    RememberPin(c.slot, pin, pin_len);
  } else {
    ForgetPins();
  }
  return StatusFromCkr(rv);
}

int32_t ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                  const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (pin_type != XC_PIN_USER) return P11ST_BAD_PIN_TYPE;
  if (int32_t status = CheckPin(old_pin, old_len)) return status;
  if (int32_t status = CheckPin(new_pin, new_len)) return status;
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  auto set_pin = [&] {
    return c.functions->C_SetPIN(c.session, const_cast<CK_UTF8CHAR_PTR>(old_pin), old_len,
                                 const_cast<CK_UTF8CHAR_PTR>(new_pin), new_len);
  };
  CK_RV rv = set_pin();
  // Some modules (tpm2-pkcs11) change the PIN only for a logged-in user: the
  // old PIN logs in first.
  if (rv == CKR_USER_NOT_LOGGED_IN) {
    rv = c.functions->C_Login(c.session, CKU_USER, const_cast<CK_UTF8CHAR_PTR>(old_pin), old_len);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) rv = set_pin();
  }
  ForgetPins();
  // A changed PIN ends the login, as it does on the software token.
  if (rv == CKR_OK) c.functions->C_Logout(c.session);
  return StatusFromCkr(rv);
}

}  // namespace obkey::p11token

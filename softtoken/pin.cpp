#include "softtoken/pin.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

namespace obkey::softtoken {

namespace {

using Epoch = std::array<uint8_t, kLoginEpochSize>;

std::map<std::string, Epoch> &VerifiedLogins() {
  static std::map<std::string, Epoch> logins;
  return logins;
}

std::array<uint8_t, kPinHashSize> Pbkdf2(const uint8_t *pin, size_t pin_len,
                                         const PinHash &params) {
  // HMAC pads short keys with zeros, so "ab" and "ab\0" would hash alike;
  // a length byte in front keeps PINs that differ by trailing zeros apart.
  SecretBytes password(1 + pin_len);
  password[0] = static_cast<uint8_t>(pin_len);
  if (pin_len != 0) std::memcpy(password.data() + 1, pin, pin_len);
  std::array<uint8_t, kPinHashSize> out{};
  int ok = PKCS5_PBKDF2_HMAC(
      reinterpret_cast<const char *>(password.data()), static_cast<int>(password.size()),
      params.salt.data(), static_cast<int>(params.salt.size()), static_cast<int>(params.iterations),
      EVP_sha256(), static_cast<int>(out.size()), out.data());
  if (ok != 1) throw std::runtime_error("PBKDF2 failed");
  return out;
}

}  // namespace

PinHash HashPin(const uint8_t *pin, size_t pin_len) {
  PinHash result;
  result.iterations = kPinIterations;
  if (RAND_bytes(result.salt.data(), static_cast<int>(result.salt.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  result.hash = Pbkdf2(pin, pin_len, result);
  return result;
}

bool PinMatches(const PinHash &stored, const uint8_t *pin, size_t pin_len) {
  std::array<uint8_t, kPinHashSize> candidate = Pbkdf2(pin, pin_len, stored);
  bool same = CRYPTO_memcmp(candidate.data(), stored.hash.data(), candidate.size()) == 0;
  OPENSSL_cleanse(candidate.data(), candidate.size());
  return same;
}

Epoch NewLoginEpoch() {
  Epoch epoch{};
  if (RAND_bytes(epoch.data(), static_cast<int>(epoch.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  return epoch;
}

void RememberLogin(const std::string &store_path, const TokenState &state) {
  VerifiedLogins()[store_path] = state.login_epoch;
}

void ForgetLogin(const std::string &store_path) {
  VerifiedLogins().erase(store_path);
}

bool IsLoggedIn(const std::string &store_path, const TokenState &state) {
  auto it = VerifiedLogins().find(store_path);
  return it != VerifiedLogins().end() && it->second == state.login_epoch;
}

}  // namespace obkey::softtoken

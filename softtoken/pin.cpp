#include "pin.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

using Epoch = std::array<uint8_t, kLoginEpochSize>;

// A remembered login. Its token key opens every private key of the token,
// so it is kept out of swap while it lives (and wiped when it goes).
struct Login {
  Login() = default;
  Login(const Login &) = delete;
  Login &operator=(const Login &) = delete;
  ~Login() { os::UnlockMemory(token_key.data(), token_key.size()); }

  void SetTokenKey(SecretBytes key) {
    os::UnlockMemory(token_key.data(), token_key.size());
    token_key = std::move(key);
    os::LockMemory(token_key.data(), token_key.size());
  }

  Epoch epoch{};
  TokenKeyWrap wrap;
  SecretBytes token_key;
};

std::map<std::string, Login> &VerifiedLogins() {
  static std::map<std::string, Login> logins;
  return logins;
}

bool SameWrap(const TokenKeyWrap &a, const TokenKeyWrap &b) {
  return a.present == b.present && a.salt == b.salt && a.iterations == b.iterations &&
         a.sealed == b.sealed;
}

std::array<uint8_t, kPinHashSize> Pbkdf2(const uint8_t *pin, size_t pin_len,
                                         const std::array<uint8_t, kPinSaltSize> &salt,
                                         uint32_t iterations) {
  // HMAC pads short keys with zeros, so "ab" and "ab\0" would hash alike;
  // a length byte in front keeps PINs that differ by trailing zeros apart.
  SecretBytes password(1 + pin_len);
  password[0] = static_cast<uint8_t>(pin_len);
  if (pin_len != 0) std::memcpy(password.data() + 1, pin, pin_len);
  std::array<uint8_t, kPinHashSize> out{};
  int ok = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password.data()),
                             static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
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
  result.hash = Pbkdf2(pin, pin_len, result.salt, result.iterations);
  return result;
}

bool PinMatches(const PinHash &stored, const uint8_t *pin, size_t pin_len) {
  std::array<uint8_t, kPinHashSize> candidate =
      Pbkdf2(pin, pin_len, stored.salt, stored.iterations);
  bool same = CRYPTO_memcmp(candidate.data(), stored.hash.data(), candidate.size()) == 0;
  OPENSSL_cleanse(candidate.data(), candidate.size());
  return same;
}

SecretBytes DerivePinKey(const uint8_t *pin, size_t pin_len,
                         const std::array<uint8_t, kPinSaltSize> &salt, uint32_t iterations) {
  std::array<uint8_t, kPinHashSize> derived = Pbkdf2(pin, pin_len, salt, iterations);
  SecretBytes key(derived.begin(), derived.end());
  OPENSSL_cleanse(derived.data(), derived.size());
  return key;
}

Epoch NewLoginEpoch() {
  Epoch epoch{};
  if (RAND_bytes(epoch.data(), static_cast<int>(epoch.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  return epoch;
}

void RememberLogin(const std::string &store_path, const TokenState &state, SecretBytes token_key) {
  Login &login = VerifiedLogins()[store_path];
  login.epoch = state.login_epoch;
  login.wrap = state.token_key_wrap;
  login.SetTokenKey(std::move(token_key));
}

void ForgetLogin(const std::string &store_path) {
  VerifiedLogins().erase(store_path);
}

bool IsLoggedIn(const std::string &store_path, const TokenState &state) {
  return LoginTokenKey(store_path, state) != nullptr;
}

const SecretBytes *LoginTokenKey(const std::string &store_path, const TokenState &state) {
  auto it = VerifiedLogins().find(store_path);
  if (it == VerifiedLogins().end() || it->second.epoch != state.login_epoch ||
      !SameWrap(it->second.wrap, state.token_key_wrap)) {
    return nullptr;
  }
  return &it->second.token_key;
}

}  // namespace obkey::softtoken

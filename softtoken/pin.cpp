#include "pin.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

using Epoch = std::array<uint8_t, kLoginEpochSize>;

// The info texts keep the two outputs of one scrypt run apart.
constexpr char kCheckInfo[] = "obkey user PIN check";
constexpr char kWrapInfo[] = "obkey token key wrap";
constexpr size_t kScryptOutputSize = 32;

// A remembered login. Its token key opens every private key of the token,
// so it lives in memory kept out of swap and core dumps (os::SecretPage)
// and is wiped when the login goes.
struct Login {
  Epoch epoch{};
  TokenKeyWrap wrap;
  os::SecretPage token_key;
};

std::map<std::string, Login> &VerifiedLogins() {
  static std::map<std::string, Login> logins;
  return logins;
}

bool SameWrap(const TokenKeyWrap &a, const TokenKeyWrap &b) {
  return a.form == b.form && a.salt == b.salt && a.iterations == b.iterations &&
         a.sealed == b.sealed;
}

void RandomBytes(uint8_t *out, size_t len) {
  if (RAND_bytes(out, static_cast<int>(len)) != 1) throw std::runtime_error("RAND_bytes failed");
}

// PinPassword is the PIN preceded by its length byte. HMAC pads short keys
// with zeros, so "ab" and "ab\0" would hash alike; the length byte keeps
// PINs that differ by trailing zeros apart (for scrypt too, whose password
// is an HMAC key).
SecretBytes PinPassword(const uint8_t *pin, size_t pin_len) {
  SecretBytes password(1 + pin_len);
  password[0] = static_cast<uint8_t>(pin_len);
  if (pin_len != 0) std::memcpy(password.data() + 1, pin, pin_len);
  return password;
}

std::array<uint8_t, kPinHashSize> Pbkdf2(const uint8_t *pin, size_t pin_len,
                                         const std::array<uint8_t, kPinSaltSize> &salt,
                                         uint32_t iterations) {
  const SecretBytes password = PinPassword(pin, pin_len);
  std::array<uint8_t, kPinHashSize> out{};
  int ok = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password.data()),
                             static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), static_cast<int>(out.size()), out.data());
  if (ok != 1) throw std::runtime_error("PBKDF2 failed");
  return out;
}

SecretBytes Scrypt(const uint8_t *pin, size_t pin_len,
                   const std::array<uint8_t, kPinSaltSize> &salt, const ScryptCost &cost) {
  const SecretBytes password = PinPassword(pin, pin_len);
  SecretBytes out(kScryptOutputSize);
  int ok = EVP_PBE_scrypt(reinterpret_cast<const char *>(password.data()), password.size(),
                          salt.data(), salt.size(), ScryptN(cost), cost.r, cost.p,
                          ScryptMemory(cost) + 4096, out.data(), out.size());
  if (ok != 1) throw std::runtime_error("scrypt failed");
  return out;
}

void HkdfSha256(const SecretBytes &key, const char *info, uint8_t *out, size_t out_len) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  size_t len = out_len;
  bool ok = ctx != nullptr && EVP_PKEY_derive_init(ctx) > 0 &&
            EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) > 0 &&
            EVP_PKEY_CTX_set1_hkdf_key(ctx, key.data(), static_cast<int>(key.size())) > 0 &&
            EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char *>(info),
                                        static_cast<int>(std::strlen(info))) > 0 &&
            EVP_PKEY_derive(ctx, out, &len) > 0 && len == out_len;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) throw std::runtime_error("HKDF failed");
}

// ScryptDerive runs scrypt once and splits its output into the check value
// and the wrapping key.
void ScryptDerive(const PinHash &params, const uint8_t *pin, size_t pin_len,
                  std::array<uint8_t, kPinHashSize> *out_check, SecretBytes *out_wrapping_key) {
  const SecretBytes master = Scrypt(pin, pin_len, params.salt, params.scrypt);
  HkdfSha256(master, kCheckInfo, out_check->data(), out_check->size());
  SecretBytes wrapping_key(kTokenKeySize);
  HkdfSha256(master, kWrapInfo, wrapping_key.data(), wrapping_key.size());
  *out_wrapping_key = std::move(wrapping_key);
}

}  // namespace

bool CurrentScryptCost(ScryptCost *out_cost) {
  ScryptCost cost = kDefaultScryptCost;
  const char *text = std::getenv(kScryptLog2NVariable);
  if (text != nullptr && *text != '\0') {
    char *end = nullptr;
    unsigned long log2_n = std::strtoul(text, &end, 10);
    if (*end != '\0' || log2_n > kMaxScryptLog2N) return false;
    cost.log2_n = static_cast<uint8_t>(log2_n);
  }
  if (!ScryptCostAllowed(cost)) return false;
  *out_cost = cost;
  return true;
}

PinHash HashPinPbkdf2(const uint8_t *pin, size_t pin_len) {
  PinHash result;
  result.kdf = PinKdf::kPbkdf2Sha256;
  result.iterations = kPinIterations;
  RandomBytes(result.salt.data(), result.salt.size());
  result.hash = Pbkdf2(pin, pin_len, result.salt, result.iterations);
  return result;
}

PinHash NewUserPinHash(const ScryptCost &cost, const uint8_t *pin, size_t pin_len,
                       SecretBytes *out_wrapping_key) {
  PinHash result;
  result.kdf = PinKdf::kScrypt;
  result.scrypt = cost;
  RandomBytes(result.salt.data(), result.salt.size());
  ScryptDerive(result, pin, pin_len, &result.hash, out_wrapping_key);
  return result;
}

bool CheckPin(const PinHash &stored, const uint8_t *pin, size_t pin_len,
              SecretBytes *out_wrapping_key) {
  std::array<uint8_t, kPinHashSize> candidate{};
  SecretBytes wrapping_key;
  if (stored.kdf == PinKdf::kScrypt) {
    ScryptDerive(stored, pin, pin_len, &candidate, &wrapping_key);
  } else {
    candidate = Pbkdf2(pin, pin_len, stored.salt, stored.iterations);
  }
  bool same = CRYPTO_memcmp(candidate.data(), stored.hash.data(), candidate.size()) == 0;
  OPENSSL_cleanse(candidate.data(), candidate.size());
  if (same && out_wrapping_key != nullptr) *out_wrapping_key = std::move(wrapping_key);
  return same;
}

bool IsCurrentDerivation(const PinHash &stored, const ScryptCost &current) {
  return stored.kdf == PinKdf::kScrypt && stored.scrypt.log2_n >= current.log2_n &&
         stored.scrypt.r >= current.r && stored.scrypt.p >= current.p;
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
  RandomBytes(epoch.data(), epoch.size());
  return epoch;
}

void RememberLogin(const std::string &store_path, const TokenState &state,
                   const SecretBytes &token_key) {
  Login &login = VerifiedLogins()[store_path];
  login.epoch = state.login_epoch;
  login.wrap = state.token_key_wrap;
  login.token_key.Assign(token_key.data(), token_key.size());
}

void ForgetLogin(const std::string &store_path) {
  VerifiedLogins().erase(store_path);
}

namespace {

const Login *CountingLogin(const std::string &store_path, const TokenState &state) {
  auto it = VerifiedLogins().find(store_path);
  if (it == VerifiedLogins().end() || it->second.epoch != state.login_epoch ||
      !SameWrap(it->second.wrap, state.token_key_wrap)) {
    return nullptr;
  }
  return &it->second;
}

}  // namespace

bool IsLoggedIn(const std::string &store_path, const TokenState &state) {
  return CountingLogin(store_path, state) != nullptr;
}

bool LoginTokenKey(const std::string &store_path, const TokenState &state, SecretBytes *out) {
  const Login *login = CountingLogin(store_path, state);
  if (login == nullptr) return false;
  out->assign(login->token_key.data(), login->token_key.data() + login->token_key.size());
  return true;
}

}  // namespace obkey::softtoken

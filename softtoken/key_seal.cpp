#include "key_seal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "pin.h"
#include "rsa_key.h"
#include "softtoken_status.h"

namespace obkey::softtoken {

namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// The additional data names what a sealed value is, so that one kind can
// never be opened as another.
constexpr char kTokenKeyLabel[] = "obkey token key";
constexpr char kPrivateKeyLabel[] = "obkey private key";

void RandomBytes(uint8_t *out, size_t len) {
  if (RAND_bytes(out, static_cast<int>(len)) != 1) throw std::runtime_error("RAND_bytes failed");
}

// Seal writes nonce, ciphertext and tag of `plain` to `out` (plain_len +
// kSealOverhead bytes).
void Seal(const SecretBytes &key, const std::vector<uint8_t> &aad, const uint8_t *plain,
          size_t plain_len, uint8_t *out) {
  RandomBytes(out, kSealNonceSize);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  bool ok =
      ctx != nullptr && key.size() == kTokenKeySize &&
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), out) == 1 &&
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
      EVP_EncryptUpdate(ctx.get(), out + kSealNonceSize, &len, plain,
                        static_cast<int>(plain_len)) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), out + kSealNonceSize + len, &len) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kSealTagSize,
                          out + kSealNonceSize + plain_len) == 1;
  if (!ok) throw std::runtime_error("AES-GCM sealing failed");
}

// Open checks the tag of `sealed` and writes the plain bytes to `out`
// (sealed_len - kSealOverhead bytes). Returns false on a wrong tag; `out`
// is wiped then.
bool Open(const SecretBytes &key, const std::vector<uint8_t> &aad, const uint8_t *sealed,
          size_t sealed_len, uint8_t *out) {
  if (sealed_len < kSealOverhead || key.size() != kTokenKeySize) return false;
  const size_t plain_len = sealed_len - kSealOverhead;
  uint8_t tag[kSealTagSize];
  std::memcpy(tag, sealed + kSealNonceSize + plain_len, kSealTagSize);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  bool ok =
      ctx != nullptr &&
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
      EVP_DecryptUpdate(ctx.get(), out, &len, sealed + kSealNonceSize,
                        static_cast<int>(plain_len)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kSealTagSize, tag) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), out + len, &len) == 1;
  if (!ok) OPENSSL_cleanse(out, plain_len);
  return ok;
}

std::vector<uint8_t> Label(const char *label) {
  return std::vector<uint8_t>(label, label + std::strlen(label) + 1);
}

std::vector<uint8_t> PrivateKeyAad(size_t slot, size_t key_index,
                                   const std::vector<uint8_t> &public_der) {
  std::vector<uint8_t> aad = Label(kPrivateKeyLabel);
  aad.push_back(static_cast<uint8_t>(slot));
  aad.push_back(static_cast<uint8_t>(key_index));
  aad.insert(aad.end(), public_der.begin(), public_der.end());
  return aad;
}

}  // namespace

SecretBytes NewTokenKey() {
  SecretBytes key(kTokenKeySize);
  RandomBytes(key.data(), key.size());
  return key;
}

TokenKeyWrap WrapTokenKey(const SecretBytes &wrapping_key, const SecretBytes &token_key) {
  TokenKeyWrap wrap;
  wrap.form = WrapForm::kUserPin;
  Seal(wrapping_key, Label(kTokenKeyLabel), token_key.data(), token_key.size(), wrap.sealed.data());
  return wrap;
}

TokenKeyWrap WrapTokenKeyWithOwnSalt(const uint8_t *pin, size_t pin_len,
                                     const SecretBytes &token_key) {
  TokenKeyWrap wrap;
  wrap.form = WrapForm::kOwnSalt;
  wrap.iterations = kPinIterations;
  RandomBytes(wrap.salt.data(), wrap.salt.size());
  const SecretBytes wrapping_key = DerivePinKey(pin, pin_len, wrap.salt, wrap.iterations);
  Seal(wrapping_key, Label(kTokenKeyLabel), token_key.data(), token_key.size(), wrap.sealed.data());
  return wrap;
}

bool UnwrapTokenKey(const uint8_t *pin, size_t pin_len, const SecretBytes &wrapping_key,
                    const TokenKeyWrap &wrap, SecretBytes *out_token_key) {
  SecretBytes own_salt_key;
  switch (wrap.form) {
    case WrapForm::kNone:
      return false;
    case WrapForm::kOwnSalt:
      own_salt_key = DerivePinKey(pin, pin_len, wrap.salt, wrap.iterations);
      break;
    case WrapForm::kUserPin:
      break;
  }
  const SecretBytes &key = wrap.form == WrapForm::kOwnSalt ? own_salt_key : wrapping_key;
  SecretBytes token_key(kTokenKeySize);
  if (!Open(key, Label(kTokenKeyLabel), wrap.sealed.data(), wrap.sealed.size(), token_key.data())) {
    return false;
  }
  *out_token_key = std::move(token_key);
  return true;
}

std::vector<uint8_t> SealPrivateKey(const SecretBytes &token_key, size_t slot, size_t key_index,
                                    const std::vector<uint8_t> &public_der,
                                    const SecretBytes &der) {
  std::vector<uint8_t> sealed(der.size() + kSealOverhead);
  Seal(token_key, PrivateKeyAad(slot, key_index, public_der), der.data(), der.size(),
       sealed.data());
  return sealed;
}

bool OpenPrivateKey(const SecretBytes &token_key, size_t slot, size_t key_index,
                    const std::vector<uint8_t> &public_der, const std::vector<uint8_t> &sealed,
                    SecretBytes *out_der) {
  if (sealed.size() < kSealOverhead) return false;
  SecretBytes der(sealed.size() - kSealOverhead);
  if (!Open(token_key, PrivateKeyAad(slot, key_index, public_der), sealed.data(), sealed.size(),
            der.data())) {
    return false;
  }
  *out_der = std::move(der);
  return true;
}

int32_t SealKeyPair(const SecretBytes &token_key, size_t slot, size_t key_index,
                    const SecretBytes &der, KeySlot *slot_keys) {
  std::vector<uint8_t> public_der;
  if (!PublicKeyDerOf(der, &public_der)) return XCST_BAD_KEY;
  slot_keys->sealed_key = SealPrivateKey(token_key, slot, key_index, public_der, der);
  slot_keys->public_key_der = std::move(public_der);
  SecretBytes().swap(slot_keys->private_key_der);
  return 0;
}

int32_t SealKeysUnder(const SecretBytes &old_token_key, const SecretBytes &new_token_key,
                      TokenState *state) {
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    for (size_t index = 0; index < kKeyTypes; ++index) {
      KeySlot &keys = state->containers[slot].keys[index];
      if (!keys.HasKey()) continue;
      SecretBytes der = keys.private_key_der;
      if (der.empty() &&
          !OpenPrivateKey(old_token_key, slot, index, keys.public_key_der, keys.sealed_key, &der)) {
        return XCST_STORE_BAD_KEY;
      }
      if (SealKeyPair(new_token_key, slot, index, der, &keys) != 0) return XCST_STORE_BAD_KEY;
    }
  }
  return 0;
}

}  // namespace obkey::softtoken

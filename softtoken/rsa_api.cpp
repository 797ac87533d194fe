#include <openssl/crypto.h>

#include <cstring>

#include "api_common.h"
#include "key_cache.h"
#include "key_seal.h"
#include "pin.h"
#include "rsa_key.h"
#include "secret_array.h"
#include "softtoken_api.h"
#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

// SecretBlock wipes its bytes when it goes out of scope.
using SecretBlock = SecretArray<kRsaBlock>;

// ContainerKey resolves a container handle and loads one of its keys.
struct ContainerKey {
  Session *session = nullptr;
  size_t slot = 0;
  size_t key_index = 0;
  std::shared_ptr<const RsaKey> key;
};

enum class Login { kNeeded, kNotNeeded };

// FindKeySlot resolves the handle and key type without loading the key, for
// the calls that create one.
int32_t FindKeySlot(XcHandle container, uint32_t key_type, Login login, ContainerKey *out) {
  out->session = FindContainer(container, &out->slot);
  if (out->session == nullptr) return XCST_BAD_HANDLE;
  if (!KeySlotIndex(key_type, &out->key_index)) return XCST_BAD_KEY_TYPE;
  if (login == Login::kNeeded) return RequireLogin(*out->session);
  return 0;
}

// LoadKey resolves the handle and loads one of its keys: for a call that
// needs the login, the whole pair (a sealed key opened with the login's
// token key); otherwise the public part alone where the pair is sealed.
int32_t LoadKey(XcHandle container, uint32_t key_type, Login login, ContainerKey *out) {
  if (int32_t status = FindKeySlot(container, key_type, login, out)) return status;
  const Session &session = *out->session;
  const size_t slot_index = out->slot;
  const size_t key_index = out->key_index;
  const KeySlot &slot = session.state->containers[slot_index].keys[key_index];
  if (!slot.HasKey()) return XCST_KEY_NOT_FOUND;
  // A key this session made or replaced is not in the store yet, nor under
  // the store's stamp in the key table.
  const KeySlot &stored = session.committed->containers[slot_index].keys[key_index];
  const bool staged =
      stored.sealed_key != slot.sealed_key || stored.private_key_der != slot.private_key_der;
  const std::string &path = session.paths.store;
  if (login == Login::kNotNeeded && !slot.sealed_key.empty()) {
    if (!staged) {
      return CachedPublicKey(path, session.stamp, *session.committed, slot_index, key_index,
                             &out->key);
    }
    auto key = std::make_shared<RsaKey>();
    if (int32_t status = key->LoadPublic(slot.public_key_der)) return status;
    out->key = std::move(key);
    return 0;
  }
  KeyDerSource source = [&](SecretBytes *out_der) -> int32_t {
    if (slot.sealed_key.empty()) {
      *out_der = slot.private_key_der;
      return 0;
    }
    SecretBytes token_key;
    if (!LoginTokenKey(path, *session.state, &token_key)) return XCST_NOT_LOGGED_IN;
    // A tag that does not match: the sealed key or its public part changed.
    return OpenPrivateKey(token_key, slot_index, key_index, slot.public_key_der, slot.sealed_key,
                          out_der)
               ? 0
               : XCST_STORE_BAD_KEY;
  };
  if (!staged) {
    return CachedKey(path, session.stamp, *session.committed, slot_index, key_index, source,
                     &out->key);
  }
  SecretBytes der;
  if (int32_t status = source(&der)) return status;
  auto key = std::make_shared<RsaKey>();
  if (int32_t status = key->Load(der)) return status;
  out->key = std::move(key);
  return 0;
}

// StageKeyPair seals a new key pair into the session's container with the
// login's token key.
int32_t StageKeyPair(const ContainerKey &target, const SecretBytes &der) {
  SecretBytes token_key;
  if (!LoginTokenKey(target.session->paths.store, *target.session->state, &token_key)) {
    return XCST_NOT_LOGGED_IN;
  }
  KeySlot sealed;
  if (int32_t status = SealKeyPair(token_key, target.slot, target.key_index, der, &sealed)) {
    return status;
  }
  return StageChange(target.session, [&](TokenState &next) {
    KeySlot &keys = next.containers[target.slot].keys[target.key_index];
    keys.sealed_key = std::move(sealed.sealed_key);
    keys.public_key_der = std::move(sealed.public_key_der);
    SecretBytes().swap(keys.private_key_der);
    return 0;
  });
}

// WholeBlock takes a ciphertext or signature, which may come without its
// leading zero bytes, as a full block.
int32_t WholeBlock(const uint8_t *in, uint32_t in_len, RsaBlock *out) {
  if (in_len == 0 || in_len > kRsaBlock) return XCST_DATA_LENGTH;
  if (in == nullptr) return XCST_BAD_ARGUMENT;
  out->fill(0);
  std::memcpy(out->data() + (kRsaBlock - in_len), in, in_len);
  return 0;
}

// BlockToTransform applies the block rule of encryption and signing: a whole
// block goes as it is, a shorter input is padded with `type`.
int32_t BlockToTransform(const uint8_t *in, uint32_t in_len, Pkcs1BlockType type, RsaBlock *out) {
  if (in == nullptr && in_len != 0) return XCST_BAD_ARGUMENT;
  if (in_len == kRsaBlock) {
    std::memcpy(out->data(), in, kRsaBlock);
    return 0;
  }
  if (in_len > kMaxPkcs1Payload) return XCST_DATA_LENGTH;
  return Pkcs1Pad(type, in, in_len, OpenSslRandomBytes, out) ? 0 : XCST_CRYPTO;
}

}  // namespace

int32_t GenRSAKey(XcHandle container, uint32_t key_type) {
  ContainerKey target;
  {
    SessionCall call(container);
    if (int32_t status = call.status()) return status;
    if (int32_t status = FindKeySlot(container, key_type, Login::kNeeded, &target)) return status;
    LetLockGoWhileComputing(target.session);
  }
  // The prime search takes tens of milliseconds: the process's other
  // threads and other processes go on meanwhile, and the handle is
  // resolved afresh after it.
  SecretBytes der;
  if (int32_t status = GenerateRsaKeyDer(&der)) return status;
  SessionCall call(container);
  if (int32_t status = call.status()) return status;
  if (int32_t status = FindKeySlot(container, key_type, Login::kNeeded, &target)) return status;
  return StageKeyPair(target, der);
}

int32_t WriteRSAKey(XcHandle container, uint32_t /*reserved1*/, uint32_t /*reserved2*/,
                    const uint8_t *der, uint32_t der_len, uint32_t key_type) {
  SessionCall call(container);
  if (int32_t status = call.status()) return status;
  ContainerKey target;
  if (int32_t status = FindKeySlot(container, key_type, Login::kNeeded, &target)) return status;
  if (der_len == 0) return XCST_BAD_KEY;
  if (der == nullptr) return XCST_BAD_ARGUMENT;
  SecretBytes strict;
  if (int32_t status = ImportRsaKeyDer(der, der_len, &strict)) return status;
  return StageKeyPair(target, strict);
}

int32_t ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  SessionCall call(container);
  if (int32_t status = call.status()) return status;
  ContainerKey source;
  if (int32_t status = LoadKey(container, key_type, Login::kNotNeeded, &source)) return status;
  const uint32_t e = source.key->PublicExponent();
  const uint8_t exponent[3] = {static_cast<uint8_t>(e >> 16), static_cast<uint8_t>(e >> 8),
                               static_cast<uint8_t>(e)};
  return WritePublicKeyRecord(source.key->Modulus(), exponent, sizeof(exponent), out, inout_len);
}

int32_t RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type) {
  const bool checks_signature = (key_type & XC_KEY_SIGN_FLAG) != 0;
  ContainerKey source;
  SecretBlock input;
  SecretBlock result;
  {
    SessionCall call(container);
    if (int32_t status = call.status()) return status;
    int32_t status = LoadKey(container, key_type & ~XC_KEY_SIGN_FLAG, Login::kNotNeeded, &source);
    if (status == 0) {
      status = checks_signature ? WholeBlock(in, in_len, &input)
                                : BlockToTransform(in, in_len, Pkcs1BlockType::kEncryption, &input);
    }
    if (status != 0) return status;
    LetLockGoWhileComputing(source.session);
  }
  // The key is the call's own (shared) copy: the operation needs neither the
  // process's tables nor the store.
  if (int32_t status = source.key->PublicRaw(input, &result)) return status;
  if (checks_signature) {
    return WriteUnpadded(Pkcs1BlockType::kSignature, result, out, inout_len);
  }
  return WriteOutput(result.data(), result.size(), out, inout_len);
}

int32_t RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type) {
  ContainerKey source;
  SecretBlock input;
  SecretBlock result;
  {
    SessionCall call(container);
    if (int32_t status = call.status()) return status;
    if (int32_t status = LoadKey(container, key_type, Login::kNeeded, &source)) return status;
    if (int32_t status = WholeBlock(in, in_len, &input)) return status;
    LetLockGoWhileComputing(source.session);
  }
  if (int32_t status = source.key->PrivateRaw(input, &result)) return status;
  return WriteUnpadded(Pkcs1BlockType::kEncryption, result, out, inout_len);
}

int32_t RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                uint32_t *inout_len, uint32_t key_type) {
  ContainerKey source;
  SecretBlock input;
  SecretBlock result;
  {
    SessionCall call(container);
    if (int32_t status = call.status()) return status;
    int32_t status = LoadKey(container, key_type & ~XC_KEY_SIGN_FLAG, Login::kNeeded, &source);
    if (status != 0) return status;
    if ((status = BlockToTransform(in, in_len, Pkcs1BlockType::kSignature, &input))) {
      return status;
    }
    LetLockGoWhileComputing(source.session);
  }
  if (int32_t status = source.key->PrivateRaw(input, &result)) return status;
  return WriteOutput(result.data(), result.size(), out, inout_len);
}

}  // namespace obkey::softtoken

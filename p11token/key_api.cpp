// Containers, RSA key pairs, the RSA block operations and certificates.
#include <openssl/crypto.h>

#include <chrono>
#include <cstring>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "module.h"
#include "p11token_api.h"
#include "p11token_os.h"
#include "p11token_status.h"
#include "rsa_blocks.h"
#include "secret_array.h"

namespace obkey::p11token {

namespace {

constexpr uint32_t kMaxCertificate = 4096;
constexpr CK_ULONG kModulusBits = 1024;
const uint8_t kPublicExponent[] = {0x01, 0x00, 0x01};
const CK_OBJECT_CLASS kPublicKeyClass = CKO_PUBLIC_KEY;
const CK_OBJECT_CLASS kPrivateKeyClass = CKO_PRIVATE_KEY;
const CK_OBJECT_CLASS kCertificateClass = CKO_CERTIFICATE;
const CK_KEY_TYPE kRsaKeyType = CKK_RSA;
const CK_CERTIFICATE_TYPE kX509 = CKC_X_509;

enum class Login { kNeeded, kNotNeeded };

// KeyRef names one key type of one container.
struct KeyRef {
  Cryptoki c;
  uint32_t slot = 0;
  uint32_t key_type = 0;
  std::string name;  // the container's
  std::string label;
};

// SecretBlock wipes its bytes when it goes out of scope.
using SecretBlock = SecretArray<kRsaBlock>;

int32_t ResolveKey(XcHandle container, uint32_t key_type, Login login, KeyRef *out) {
  if (int32_t status = ContainerOf(container, &out->c, &out->slot)) return status;
  if (key_type != XC_KEY_EXCHANGE && key_type != XC_KEY_SIGNATURE) return P11ST_BAD_KEY_TYPE;
  if (login == Login::kNeeded) {
    if (int32_t status = RequireLogin(out->c)) return status;
  }
  ContainerNames names;
  if (int32_t status = ReadContainerNames(out->c, &names)) return status;
  if (names[out->slot].empty()) return P11ST_CONTAINER_NOT_FOUND;
  out->key_type = key_type;
  out->name = names[out->slot];
  out->label = KeyLabel(out->name, key_type);
  return 0;
}

// FindOne stores the first object of `object_class` under the key's label;
// P11ST_KEY_NOT_FOUND when there is none.
int32_t FindOne(const KeyRef &key, CK_OBJECT_CLASS object_class, CK_OBJECT_HANDLE *out) {
  std::vector<CK_OBJECT_HANDLE> objects;
  if (int32_t status = FindLabelled(key.c, object_class, key.label, &objects)) return status;
  if (objects.empty()) return P11ST_KEY_NOT_FOUND;
  *out = objects.front();
  return 0;
}

// FindPair stores every key object (both halves) under the key's label.
int32_t FindPair(const KeyRef &key, std::vector<CK_OBJECT_HANDLE> *out) {
  std::vector<CK_OBJECT_HANDLE> private_keys;
  if (int32_t status = FindLabelled(key.c, kPublicKeyClass, key.label, out)) return status;
  if (int32_t status = FindLabelled(key.c, kPrivateKeyClass, key.label, &private_keys)) {
    return status;
  }
  out->insert(out->end(), private_keys.begin(), private_keys.end());
  return 0;
}

// CommitPair makes a new pair the key's, unless another writer changed
// the pair meanwhile.
int32_t CommitPair(const KeyRef &key, const std::vector<CK_OBJECT_HANDLE> &old_pair,
                   const std::vector<CK_OBJECT_HANDLE> &new_pair) {
  std::vector<CK_OBJECT_HANDLE> now;
  if (int32_t status = FindPair(key, &now)) {
    DestroyObjects(key.c, new_pair);
    return status;
  }
  return CommitReplacement(key.c, old_pair, new_pair, now);
}

// ReadModulus reads a key's modulus, which must be of 1024 bits.
int32_t ReadModulus(const Cryptoki &c, CK_OBJECT_HANDLE object, RsaBlock *out) {
  Bytes modulus;
  if (int32_t status = ReadAttribute(c, object, CKA_MODULUS, &modulus)) return status;
  size_t skip = 0;
  while (skip < modulus.size() && modulus[skip] == 0) ++skip;
  if (modulus.size() - skip != kRsaBlock || (modulus[skip] & 0x80) == 0) return P11ST_BAD_KEY;
  std::memcpy(out->data(), modulus.data() + skip, kRsaBlock);
  return 0;
}

// The mechanisms each slot's token lists, learned once per module
// initialisation (under the tables lock).
struct KnownMechanisms {
  uint64_t generation = 0;
  std::vector<CK_MECHANISM_TYPE> listed;
};
std::map<CK_SLOT_ID, KnownMechanisms> known_mechanisms;

// RequireMechanism names a mechanism the token does not list
// (P11ST_NO_MECHANISM with the CKM_ value), before a call that would answer
// no more than CKR_MECHANISM_INVALID. A module that cannot list its
// mechanisms is left to answer the call itself.
int32_t RequireMechanism(const Cryptoki &c, CK_MECHANISM_TYPE mechanism) {
  KnownMechanisms known;
  {
    os::TablesGuard tables;
    known = known_mechanisms[c.slot];
  }
  if (known.generation != ModuleGeneration()) {
    CK_ULONG count = 0;
    if (c.functions->C_GetMechanismList(c.slot, nullptr, &count) != CKR_OK) return 0;
    // One more than asked for: p11-kit's client (0.24) reads one past the
    // end of the list when it drops a mechanism it cannot carry.
    known.listed.assign(count + 1, 0);
    if (c.functions->C_GetMechanismList(c.slot, known.listed.data(), &count) != CKR_OK) return 0;
    known.listed.resize(count);
    known.generation = ModuleGeneration();
    os::TablesGuard tables;
    known_mechanisms[c.slot] = known;
  }
  for (CK_MECHANISM_TYPE listed : known.listed) {
    if (listed == mechanism) return 0;
  }
  return static_cast<int32_t>(P11ST_NO_MECHANISM_BASE | (mechanism & 0xFFFFu));
}

enum class RawOp { kPublic, kDecrypt, kSign };

// InitRaw starts one block operation with CKM_RSA_X_509 (no padding): the
// block rules are this library's, the same on every token.
CK_RV InitRaw(const Cryptoki &c, RawOp op, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_RSA_X_509, nullptr, 0};
  if (op == RawOp::kPublic) return c.functions->C_EncryptInit(c.session, &mechanism, key);
  if (op == RawOp::kDecrypt) return c.functions->C_DecryptInit(c.session, &mechanism, key);
  return c.functions->C_SignInit(c.session, &mechanism, key);
}

// FinishRaw applies the started operation to one block.
int32_t FinishRaw(const Cryptoki &c, RawOp op, const RsaBlock &in, RsaBlock *out) {
  CK_FUNCTION_LIST *f = c.functions;
  CK_BYTE_PTR in_bytes = const_cast<CK_BYTE_PTR>(in.data());
  // Exactly the block's size: a module that reports the size of the buffer
  // it was given (tpm2-pkcs11) then reports the block's.
  CK_BYTE result[kRsaBlock];
  CK_ULONG result_len = sizeof(result);
  // The operation uses only this connection's session and changes nothing
  // on the token: other threads and processes go on meanwhile.
  ReleaseCurrentStep();
  CK_RV rv = CKR_OK;
  if (op == RawOp::kPublic) {
    rv = f->C_Encrypt(c.session, in_bytes, kRsaBlock, result, &result_len);
  } else if (op == RawOp::kDecrypt) {
    rv = f->C_Decrypt(c.session, in_bytes, kRsaBlock, result, &result_len);
  } else {
    rv = f->C_Sign(c.session, in_bytes, kRsaBlock, result, &result_len);
  }
  int32_t status = StatusFromCkr(rv);
  // Some modules drop the leading zero bytes of the result.
  if (status == 0 && result_len > kRsaBlock) status = P11ST_BAD_KEY;
  if (status == P11ST_BUFFER_TOO_SMALL) status = P11ST_BAD_KEY;
  if (status == 0) {
    out->fill(0);
    std::memcpy(out->data() + (kRsaBlock - result_len), result, result_len);
  }
  OPENSSL_cleanse(result, sizeof(result));
  return status;
}

// What the process learned of a key object: its handle and public numbers, good
// while the module's initialisation lasts and the handle is accepted (a key
// replaced since has a handle no longer valid).
struct KnownKey {
  uint64_t generation = 0;
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  RsaBlock modulus{};
  RsaExponent exponent{};
};
using KnownKeyId = std::tuple<CK_SLOT_ID, CK_OBJECT_CLASS, std::string>;
// Used under the tables lock, as known_public below.
std::map<KnownKeyId, KnownKey> known_keys;

bool KnownKeyOf(const KnownKeyId &id, KnownKey *out) {
  os::TablesGuard tables;
  auto it = known_keys.find(id);
  if (it == known_keys.end() || it->second.generation != ObjectsGeneration()) return false;
  *out = it->second;
  return true;
}

// ReadPublicNumbers reads a key object's modulus (of 1024 bits) and public
// exponent (of at most 8 bytes).
int32_t ReadPublicNumbers(const Cryptoki &c, CK_OBJECT_HANDLE object, KnownKey *out) {
  if (int32_t status = ReadModulus(c, object, &out->modulus)) return status;
  Bytes exponent;
  if (int32_t status = ReadAttribute(c, object, CKA_PUBLIC_EXPONENT, &exponent)) return status;
  while (!exponent.empty() && exponent.front() == 0) exponent.erase(exponent.begin());
  if (exponent.empty() || exponent.size() > out->exponent.size()) return P11ST_BAD_KEY;
  out->exponent.fill(0);
  std::memcpy(out->exponent.data() + out->exponent.size() - exponent.size(), exponent.data(),
              exponent.size());
  return 0;
}

int32_t FindKey(const KeyRef &key, CK_OBJECT_CLASS object_class, KnownKey *out) {
  if (int32_t status = FindOne(key, object_class, &out->object)) return status;
  int32_t status = ReadPublicNumbers(key.c, out->object, out);
  CK_OBJECT_HANDLE other_half = CK_INVALID_HANDLE;
  // Some modules (tpm2-pkcs11) keep the modulus on one half of a pair only.
  // A half destroyed meanwhile is looked up again whole (WhileReplaced):
  // the other half may be the next pair's already.
  CK_OBJECT_CLASS other_class =
      object_class == kPrivateKeyClass ? kPublicKeyClass : kPrivateKeyClass;
  bool missing = status != 0 && status != P11ST_BAD_KEY && status != P11ST_BAD_HANDLE;
  if (missing && FindOne(key, other_class, &other_half) == 0) {
    status = ReadPublicNumbers(key.c, other_half, out);
  }
  return status;
}

// ForgetKeys drops what the process learned of the key's objects: this
// process replaced them, and some modules (tpm2-pkcs11) give a new object
// the handle of a destroyed one.
void ForgetKeys(const KeyRef &key) {
  os::TablesGuard tables;
  for (CK_OBJECT_CLASS object_class : {kPublicKeyClass, kPrivateKeyClass}) {
    known_keys.erase(KnownKeyId{key.c.slot, object_class, key.label});
  }
}

// LearnKey looks the key up, keeps what it found for the next operation
// and returns it.
int32_t LearnKey(const KeyRef &key, CK_OBJECT_CLASS object_class, KnownKey *out) {
  KnownKeyId id{key.c.slot, object_class, key.label};
  // Taken before the look-up: a change after it makes this out of date.
  uint64_t objects_generation = ObjectsGeneration();
  {
    os::TablesGuard tables;
    known_keys.erase(id);
  }
  if (int32_t status = WhileReplaced([&] { return FindKey(key, object_class, out); })) {
    return status;
  }
  out->generation = objects_generation;
  os::TablesGuard tables;
  known_keys[id] = *out;
  return 0;
}

// WholeBlock takes a ciphertext or signature, which may come without its
// leading zero bytes, as a whole block.
int32_t WholeBlock(const uint8_t *in, uint32_t in_len, RsaBlock *out) {
  if (in_len == 0 || in_len > kRsaBlock) return P11ST_DATA_LENGTH;
  if (in == nullptr) return P11ST_BAD_ARGUMENT;
  out->fill(0);
  std::memcpy(out->data() + (kRsaBlock - in_len), in, in_len);
  return 0;
}

// BlockToTransform: a whole block goes as it is, a shorter input is padded
// with `type` (random bytes from the token).
int32_t BlockToTransform(const Cryptoki &c, const uint8_t *in, uint32_t in_len, Pkcs1BlockType type,
                         RsaBlock *out) {
  if (in == nullptr && in_len != 0) return P11ST_BAD_ARGUMENT;
  if (in_len == kRsaBlock) {
    std::memcpy(out->data(), in, kRsaBlock);
    return 0;
  }
  if (in_len > kMaxPkcs1Payload) return P11ST_DATA_LENGTH;
  int32_t random_status = 0;
  RandomBytes random = [&](uint8_t *bytes, size_t len) {
    random_status = GenerateRandom(c, bytes, len);
    return random_status == 0;
  };
  if (Pkcs1Pad(type, in, in_len, random, out)) return 0;
  return random_status != 0 ? random_status : P11ST_CRYPTO;
}

// StartOnKey starts the operation on the key's object of `object_class`:
// the one found before (`*known`, `*key_object`) while the module takes its
// handle for it and the input is below its modulus, else the one found now;
// again when another program replaced it between our look-up and the start.
int32_t StartOnKey(const KeyRef &key, CK_OBJECT_CLASS object_class, RawOp op, const RsaBlock &input,
                   bool *known, KnownKey *key_object) {
  CK_RV rv = CKR_KEY_HANDLE_INVALID;
  for (int tries = 0; tries < kReadTries; ++tries) {
    if (!*known) {
      if (int32_t status = LearnKey(key, object_class, key_object)) return status;
    }
    bool fits = BelowModulus(input, key_object->modulus);
    if (!fits && !*known) return P11ST_DATA_RANGE;
    rv = fits ? InitRaw(key.c, op, key_object->object) : CKR_KEY_HANDLE_INVALID;
    // A kept handle that the module refuses may name another object now.
    bool gone = rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID;
    if (rv == CKR_OK || (!gone && !*known)) break;
    *known = false;
  }
  return StatusFromCkr(rv);
}

// Transform runs one public or private operation of the block rules on the
// key's object of `object_class`: started with the process lock held,
// applied without it. A private operation's result must come from the key
// that was looked up, checked with its public numbers: a handle kept from
// before may name another key now (a module that reuses the handles of
// destroyed objects), and is then looked up again. A key replaced between
// the look-up and the operation gives a result of the old key, whole.
int32_t Transform(const KeyRef &key, CK_OBJECT_CLASS object_class, RawOp op, const RsaBlock &input,
                  RsaBlock *result) {
  if (int32_t status = RequireMechanism(key.c, CKM_RSA_X_509)) return status;
  KnownKey key_object;
  bool known = KnownKeyOf(KnownKeyId{key.c.slot, object_class, key.label}, &key_object);
  for (int tries = 0; tries < kReadTries; ++tries) {
    int32_t status = StartOnKey(key, object_class, op, input, &known, &key_object);
    if (status == 0) status = FinishRaw(key.c, op, input, result);
    if (status != 0 || op == RawOp::kPublic ||
        MadeByKey(input, *result, key_object.modulus, key_object.exponent)) {
      return status;
    }
    known = false;
  }
  result->fill(0);
  return P11ST_CHANGED;
}

// PublicKeyPresent says whether the key has a public object. What a search
// or a check found stands for a while (LearnedRecently); after that, a
// handle found before is checked by one read of its label, and an absence
// is searched for again.
struct KnownPublic {
  uint64_t generation = 0;
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;  // invalid: the search found none
  std::chrono::steady_clock::time_point learned;
};
std::map<std::pair<CK_SLOT_ID, std::string>, KnownPublic> known_public;

// SeenBefore: what was last learned of the label's public object, if still
// good for `objects_generation`.
bool SeenBefore(const std::pair<CK_SLOT_ID, std::string> &id, uint64_t objects_generation,
                KnownPublic *out) {
  os::TablesGuard tables;
  auto it = known_public.find(id);
  if (it == known_public.end() || it->second.generation != objects_generation) return false;
  *out = it->second;
  return true;
}

// StillLabelled says whether `object` still names an object labelled `label`.
bool StillLabelled(const Cryptoki &c, CK_OBJECT_HANDLE object, const std::string &label) {
  std::string seen(label.size(), '\0');
  CK_ATTRIBUTE attribute{CKA_LABEL, seen.data(), static_cast<CK_ULONG>(seen.size())};
  return c.functions->C_GetAttributeValue(c.session, object, &attribute, 1) == CKR_OK &&
         attribute.ulValueLen == label.size() && seen == label;
}

int32_t PublicKeyPresent(const Cryptoki &c, const std::string &label, bool *out_present) {
  auto id = std::make_pair(c.slot, label);
  uint64_t objects_generation = ObjectsGeneration();
  // Before the look: a pair made during it is looked for next time.
  const auto now = std::chrono::steady_clock::now();
  KnownPublic seen_before;
  if (SeenBefore(id, objects_generation, &seen_before)) {
    const bool found = seen_before.object != CK_INVALID_HANDLE;
    if (LearnedRecently(seen_before.learned)) {
      *out_present = found;
      return 0;
    }
    if (found && StillLabelled(c, seen_before.object, label)) {
      *out_present = true;
      os::TablesGuard tables;
      known_public[id] = KnownPublic{objects_generation, seen_before.object, now};
      return 0;
    }
  }
  std::vector<CK_OBJECT_HANDLE> objects;
  if (int32_t status = FindLabelled(c, kPublicKeyClass, label, &objects)) return status;
  *out_present = !objects.empty();
  os::TablesGuard tables;
  known_public[id] =
      KnownPublic{objects_generation, objects.empty() ? CK_INVALID_HANDLE : objects.front(), now};
  return 0;
}

// CreateObject creates one object from `tmpl`.
int32_t CreateObject(const Cryptoki &c, std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE *out) {
  return StatusFromCkr(
      c.functions->C_CreateObject(c.session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()), out));
}

}  // namespace

int32_t CreateContainer(XcHandle session, const char *name, XcHandle *out_container,
                        uint32_t mode) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (name == nullptr || out_container == nullptr) return P11ST_BAD_ARGUMENT;
  if (mode != XC_CONTAINER_OPEN && mode != XC_CONTAINER_CREATE) return P11ST_BAD_MODE;
  size_t name_len = std::strlen(name);
  if (name_len == 0 || name_len > kMaxContainerName) return P11ST_BAD_CONTAINER_NAME;
  const std::string created_name = std::string("container ") + name;
  ContainerNames names;
  int32_t status = ReadContainerNames(c, &names);
  uint32_t slot = 0;
  if (mode == XC_CONTAINER_CREATE) {
    slot = std::strstr(name, "SIG") != nullptr ? XC_SLOT_SIGNATURE : XC_SLOT_EXCHANGE;
    if (status == 0 && !names[slot].empty()) {
      status = P11ST_CONTAINER_EXISTS;
    } else if (status == 0) {
      names[slot] = name;
      status = WriteContainerNames(c, names);
    }
    // A slot that is taken is an answer, not a refusal: the open that
    // follows says whether it holds this name.
    RememberFailedCreate(c, created_name, status == P11ST_CONTAINER_EXISTS ? 0 : status);
  } else {
    while (status == 0 && slot < kContainerSlots && names[slot] != name) ++slot;
    if (status == 0 && slot == kContainerSlots) status = P11ST_CONTAINER_NOT_FOUND;
    status = OpenAfterFailedCreate(c, created_name, status);
  }
  if (status != 0) return status;
  *out_container = ContainerHandle(session, slot);
  return 0;
}

int32_t SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (out_container == nullptr) return P11ST_BAD_ARGUMENT;
  if (slot >= kContainerSlots) return P11ST_BAD_SLOT;
  ContainerNames names;
  if (int32_t status = ReadContainerNames(c, &names)) return status;
  if (names[slot].empty()) return P11ST_CONTAINER_NOT_FOUND;
  *out_container = ContainerHandle(session, slot);
  return 0;
}

int32_t GetContainerParam(XcHandle container, uint32_t param, uint8_t *out, uint32_t *inout_len,
                          uint32_t /*flags*/) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, XC_KEY_EXCHANGE, Login::kNotNeeded, &key)) {
    return status;
  }
  const std::string &name = key.name;
  if (param == XC_CONTAINER_PARAM_NAME) {
    if (int32_t status = ReserveOutput(XC_CONTAINER_NAME_SIZE, out, inout_len)) return status;
    std::memset(out, 0, XC_CONTAINER_NAME_SIZE);
    std::memcpy(out, name.data(), name.size());
    *inout_len = XC_CONTAINER_NAME_SIZE;
    return 0;
  }
  if (param != XC_CONTAINER_PARAM_FLAGS) return P11ST_BAD_PARAM;
  if (int32_t status = ReserveOutput(sizeof(uint32_t), out, inout_len)) return status;
  // A pair is present when its public half is: the private half is hidden
  // from a session without the login.
  uint32_t flags = 0;
  for (uint32_t key_type : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
    bool present = false;
    if (int32_t status = PublicKeyPresent(key.c, KeyLabel(name, key_type), &present)) {
      return status;
    }
    if (present) {
      flags |= key_type == XC_KEY_EXCHANGE ? XC_FLAG_EXCHANGE_PAIR : XC_FLAG_SIGNATURE_PAIR;
    }
  }
  std::memcpy(out, &flags, sizeof(flags));
  *inout_len = sizeof(flags);
  return 0;
}

int32_t GenRSAKey(XcHandle container, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNeeded, &key)) return status;
  std::vector<CK_OBJECT_HANDLE> old_pair;
  if (int32_t status = FindPair(key, &old_pair)) return status;
  Bytes id = KeyId(key.slot, key_type);
  std::vector<CK_ATTRIBUTE> public_tmpl = {
      Attr(CKA_CLASS, &kPublicKeyClass, sizeof(kPublicKeyClass)),
      Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)),
      BoolAttr(CKA_TOKEN, true),
      BoolAttr(CKA_PRIVATE, false),
      Attr(CKA_LABEL, key.label.data(), key.label.size()),
      Attr(CKA_ID, id.data(), id.size()),
      BoolAttr(CKA_ENCRYPT, true),
      BoolAttr(CKA_VERIFY, true),
      UlongAttr(CKA_MODULUS_BITS, &kModulusBits),
      Attr(CKA_PUBLIC_EXPONENT, kPublicExponent, sizeof(kPublicExponent)),
  };
  std::vector<CK_ATTRIBUTE> private_tmpl = {
      Attr(CKA_CLASS, &kPrivateKeyClass, sizeof(kPrivateKeyClass)),
      Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)),
      BoolAttr(CKA_TOKEN, true),
      BoolAttr(CKA_PRIVATE, true),
      BoolAttr(CKA_SENSITIVE, true),
      BoolAttr(CKA_EXTRACTABLE, false),
      Attr(CKA_LABEL, key.label.data(), key.label.size()),
      Attr(CKA_ID, id.data(), id.size()),
      BoolAttr(CKA_DECRYPT, true),
      BoolAttr(CKA_SIGN, true),
  };
  if (int32_t status = RequireMechanism(key.c, CKM_RSA_PKCS_KEY_PAIR_GEN)) return status;
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE, private_key = CK_INVALID_HANDLE;
  CK_RV rv = key.c.functions->C_GenerateKeyPair(
      key.c.session, &mechanism, public_tmpl.data(), static_cast<CK_ULONG>(public_tmpl.size()),
      private_tmpl.data(), static_cast<CK_ULONG>(private_tmpl.size()), &public_key, &private_key);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  // The new pair is in place before the old one goes.
  ForgetKeys(key);
  return CommitPair(key, old_pair, {public_key, private_key});
}

int32_t WriteRSAKey(XcHandle container, const uint8_t *der, uint32_t der_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNeeded, &key)) return status;
  if (der_len == 0) return P11ST_BAD_KEY;
  if (der == nullptr) return P11ST_BAD_ARGUMENT;
  RsaPrivateKey rsa;
  if (!ReadRsaPrivateKey(der, der_len, &rsa) || !CheckRsaPrivateKey(rsa)) return P11ST_BAD_KEY;
  std::vector<CK_OBJECT_HANDLE> old_pair;
  if (int32_t status = FindPair(key, &old_pair)) return status;
  Bytes id = KeyId(key.slot, key_type);
  auto number = [](CK_ATTRIBUTE_TYPE type, const std::vector<uint8_t> &value) {
    return Attr(type, value.data(), value.size());
  };
  CK_OBJECT_HANDLE private_key = CK_INVALID_HANDLE, public_key = CK_INVALID_HANDLE;
  int32_t status = CreateObject(
      key.c,
      {Attr(CKA_CLASS, &kPrivateKeyClass, sizeof(kPrivateKeyClass)),
       Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)), BoolAttr(CKA_TOKEN, true),
       BoolAttr(CKA_PRIVATE, true), BoolAttr(CKA_SENSITIVE, true), BoolAttr(CKA_EXTRACTABLE, false),
       Attr(CKA_LABEL, key.label.data(), key.label.size()), Attr(CKA_ID, id.data(), id.size()),
       BoolAttr(CKA_DECRYPT, true), BoolAttr(CKA_SIGN, true), number(CKA_MODULUS, rsa.n),
       number(CKA_PUBLIC_EXPONENT, rsa.e), number(CKA_PRIVATE_EXPONENT, rsa.d),
       number(CKA_PRIME_1, rsa.p), number(CKA_PRIME_2, rsa.q), number(CKA_EXPONENT_1, rsa.dp),
       number(CKA_EXPONENT_2, rsa.dq), number(CKA_COEFFICIENT, rsa.qinv)},
      &private_key);
  if (status != 0) return status;
  status = CreateObject(
      key.c,
      {Attr(CKA_CLASS, &kPublicKeyClass, sizeof(kPublicKeyClass)),
       Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)), BoolAttr(CKA_TOKEN, true),
       BoolAttr(CKA_PRIVATE, false), Attr(CKA_LABEL, key.label.data(), key.label.size()),
       Attr(CKA_ID, id.data(), id.size()), BoolAttr(CKA_ENCRYPT, true), BoolAttr(CKA_VERIFY, true),
       number(CKA_MODULUS, rsa.n), number(CKA_PUBLIC_EXPONENT, rsa.e)},
      &public_key);
  if (status != 0) {
    DestroyObjects(key.c, {private_key});
    return status;
  }
  ForgetKeys(key);
  return CommitPair(key, old_pair, {public_key, private_key});
}

int32_t ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNotNeeded, &key)) return status;
  KnownKey numbers;
  int32_t status = WhileReplaced([&] {
    if (int32_t failed = FindOne(key, kPublicKeyClass, &numbers.object)) return failed;
    return ReadPublicNumbers(key.c, numbers.object, &numbers);
  });
  if (status != 0) return status;
  // The record holds the exponent's significant bytes, at most 3.
  const RsaExponent &exponent = numbers.exponent;
  size_t first = 0;
  while (exponent[first] == 0) ++first;  // not all zero: ReadPublicNumbers
  if (exponent.size() - first > 3) return P11ST_BAD_KEY;
  return WritePublicKeyRecord(numbers.modulus, exponent.data() + first, exponent.size() - first,
                              out, inout_len);
}

int32_t RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  bool checks_signature = (key_type & XC_KEY_SIGN_FLAG) != 0;
  KeyRef key;
  int32_t status = ResolveKey(container, key_type & ~XC_KEY_SIGN_FLAG, Login::kNotNeeded, &key);
  if (status != 0) return status;
  SecretBlock input, result;
  if (checks_signature) {
    if ((status = WholeBlock(in, in_len, &input))) return status;
    if ((status = Transform(key, kPublicKeyClass, RawOp::kPublic, input, &result))) {
      return status;
    }
    return WriteUnpadded(Pkcs1BlockType::kSignature, result, out, inout_len);
  }
  // Resolve the key before padding, so that a missing key is reported as
  // such rather than spending the token's random bytes.
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  if ((status = FindOne(key, kPublicKeyClass, &object))) return status;
  if ((status = BlockToTransform(key.c, in, in_len, Pkcs1BlockType::kEncryption, &input))) {
    return status;
  }
  if ((status = Transform(key, kPublicKeyClass, RawOp::kPublic, input, &result))) {
    return status;
  }
  return WriteOutput(result.data(), kRsaBlock, out, inout_len);
}

int32_t RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNeeded, &key)) return status;
  SecretBlock input, result;
  if (int32_t status = WholeBlock(in, in_len, &input)) return status;
  if (int32_t status = Transform(key, kPrivateKeyClass, RawOp::kDecrypt, input, &result)) {
    return status;
  }
  return WriteUnpadded(Pkcs1BlockType::kEncryption, result, out, inout_len);
}

int32_t RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  int32_t status = ResolveKey(container, key_type & ~XC_KEY_SIGN_FLAG, Login::kNeeded, &key);
  if (status != 0) return status;
  SecretBlock input, result;
  if ((status = BlockToTransform(key.c, in, in_len, Pkcs1BlockType::kSignature, &input))) {
    return status;
  }
  if ((status = Transform(key, kPrivateKeyClass, RawOp::kSign, input, &result))) {
    return status;
  }
  return WriteOutput(result.data(), kRsaBlock, out, inout_len);
}

int32_t WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len, uint32_t key_spec) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_spec, Login::kNeeded, &key)) return status;
  if (cert_len == 0 || cert_len > kMaxCertificate) return P11ST_CERT_LENGTH;
  if (cert == nullptr) return P11ST_BAD_ARGUMENT;
  std::vector<CK_OBJECT_HANDLE> old_certificates;
  int32_t status = FindLabelled(key.c, kCertificateClass, key.label, &old_certificates);
  if (status != 0) return status;
  // The certificate carries its key's CKA_ID, also for a key made by
  // another program under our label.
  Bytes id = KeyId(key.slot, key_spec);
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE;
  if (FindOne(key, kPublicKeyClass, &public_key) == 0) {
    Bytes key_id;
    if (ReadAttribute(key.c, public_key, CKA_ID, &key_id) == 0 && !key_id.empty()) id = key_id;
  }
  Bytes subject;
  CertificateSubject(cert, cert_len, &subject);
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  status = CreateObject(
      key.c,
      {Attr(CKA_CLASS, &kCertificateClass, sizeof(kCertificateClass)),
       Attr(CKA_CERTIFICATE_TYPE, &kX509, sizeof(kX509)), BoolAttr(CKA_TOKEN, true),
       BoolAttr(CKA_PRIVATE, false), Attr(CKA_LABEL, key.label.data(), key.label.size()),
       Attr(CKA_ID, id.data(), id.size()), Attr(CKA_SUBJECT, subject.data(), subject.size()),
       Attr(CKA_VALUE, cert, cert_len)},
      &created);
  if (status != 0) return status;
  std::vector<CK_OBJECT_HANDLE> now;
  if ((status = FindLabelled(key.c, kCertificateClass, key.label, &now))) {
    DestroyObjects(key.c, {created});
    return status;
  }
  return CommitReplacement(key.c, old_certificates, {created}, now);
}

int32_t ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_spec) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_spec, Login::kNotNeeded, &key)) return status;
  Bytes value;
  int32_t status = WhileReplaced([&] {
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    if (int32_t failed = FindOne(key, kCertificateClass, &object)) return failed;
    return ReadAttribute(key.c, object, CKA_VALUE, &value);
  });
  if (status == P11ST_KEY_NOT_FOUND) return P11ST_CERT_NOT_FOUND;
  if (status != 0) return status;
  return WriteOutput(value.data(), value.size(), out, inout_len);
}

int32_t CountCertificates(const Cryptoki &c, uint32_t *out_count) {
  ContainerNames names;
  if (int32_t status = ReadContainerNames(c, &names)) return status;
  uint32_t count = 0;
  for (const std::string &name : names) {
    if (name.empty()) continue;
    for (uint32_t key_spec : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
      std::vector<CK_OBJECT_HANDLE> objects;
      int32_t status = FindLabelled(c, kCertificateClass, KeyLabel(name, key_spec), &objects);
      if (status != 0) return status;
      if (!objects.empty()) ++count;
    }
  }
  *out_count = count;
  return 0;
}

}  // namespace obkey::p11token

// What the process learned of the token's keys and mechanisms: a key's
// object and public numbers, whether a pair's public half is there, and the
// mechanisms each token lists.
#include "key_cache.h"

#include <chrono>
#include <cstring>
#include <map>
#include <tuple>
#include <utility>

#include "module.h"
#include "p11token_os.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

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

std::map<KnownKeyId, KnownKey> known_keys;

// FindKey looks the key's object of `object_class` up, and reads its public
// numbers.
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

// What was last learned of a pair's public object, for PublicKeyPresent.
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

}  // namespace

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

bool KnownKeyOf(const KnownKeyId &id, KnownKey *out) {
  os::TablesGuard tables;
  auto it = known_keys.find(id);
  if (it == known_keys.end() || it->second.generation != ObjectsGeneration()) return false;
  *out = it->second;
  return true;
}

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

void ForgetKeys(const KeyRef &key) {
  os::TablesGuard tables;
  for (CK_OBJECT_CLASS object_class : {kPublicKeyClass, kPrivateKeyClass}) {
    known_keys.erase(KnownKeyId{key.c.slot, object_class, key.label});
  }
}

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

}  // namespace obkey::p11token

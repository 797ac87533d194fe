// key_cache.h — what the process learned of the token's keys and
// mechanisms, so that a signature costs a handful of module calls. Every
// table is used under the tables lock, and what it holds is good while
// ObjectsGeneration (or, for the mechanisms, ModuleGeneration) is unchanged.
#ifndef OBKEY_P11TOKEN_KEY_CACHE_H
#define OBKEY_P11TOKEN_KEY_CACHE_H

#include <stdint.h>

#include <string>
#include <tuple>

#include "api_common.h"
#include "rsa_blocks.h"

namespace obkey::p11token {

// KnownKey is what the process learned of a key object: its handle and
// public numbers, good while the module's initialisation lasts and the
// handle is accepted (a key replaced since has a handle no longer valid).
struct KnownKey {
  uint64_t generation = 0;
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  RsaBlock modulus{};
  RsaExponent exponent{};
};
using KnownKeyId = std::tuple<CK_SLOT_ID, CK_OBJECT_CLASS, std::string>;

// RequireMechanism names a mechanism the token does not list
// (P11ST_NO_MECHANISM with the CKM_ value), before a call that would answer
// no more than CKR_MECHANISM_INVALID. A module that cannot list its
// mechanisms is left to answer the call itself.
int32_t RequireMechanism(const Cryptoki &c, CK_MECHANISM_TYPE mechanism);

// KnownKeyOf gives what was learned of key `id`, if still good.
bool KnownKeyOf(const KnownKeyId &id, KnownKey *out);

// ReadPublicNumbers reads a key object's modulus (of 1024 bits) and public
// exponent (of at most 8 bytes).
int32_t ReadPublicNumbers(const Cryptoki &c, CK_OBJECT_HANDLE object, KnownKey *out);

// ForgetKeys drops what the process learned of the key's objects: this
// process replaced them, and some modules (tpm2-pkcs11) give a new object
// the handle of a destroyed one.
void ForgetKeys(const KeyRef &key);

// LearnKey looks the key up, keeps what it found for the next operation
// and returns it.
int32_t LearnKey(const KeyRef &key, CK_OBJECT_CLASS object_class, KnownKey *out);

// PublicKeyPresent says whether the key labelled `label` has a public
// object. What a search or a check found stands for a while
// (LearnedRecently); after that, a handle found before is checked by one
// read of its label, and an absence is searched for again.
int32_t PublicKeyPresent(const Cryptoki &c, const std::string &label, bool *out_present);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_KEY_CACHE_H

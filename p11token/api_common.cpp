// The container handle resolved to a key's label, and the look-ups of
// obkey's key objects.
#include "api_common.h"

#include "container_directory.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"

namespace obkey::p11token {

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

int32_t FindOne(const KeyRef &key, CK_OBJECT_CLASS object_class, CK_OBJECT_HANDLE *out) {
  std::vector<CK_OBJECT_HANDLE> objects;
  if (int32_t status = FindLabelled(key.c, object_class, key.label, &objects)) return status;
  if (objects.empty()) return P11ST_KEY_NOT_FOUND;
  *out = objects.front();
  return 0;
}

int32_t FindPair(const KeyRef &key, std::vector<CK_OBJECT_HANDLE> *out) {
  std::vector<CK_OBJECT_HANDLE> private_keys;
  if (int32_t status = FindLabelled(key.c, kPublicKeyClass, key.label, out)) return status;
  if (int32_t status = FindLabelled(key.c, kPrivateKeyClass, key.label, &private_keys)) {
    return status;
  }
  out->insert(out->end(), private_keys.begin(), private_keys.end());
  return 0;
}

int32_t CreateObject(const Cryptoki &c, std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE *out) {
  return StatusFromCkr(
      c.functions->C_CreateObject(c.session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()), out));
}

}  // namespace obkey::p11token

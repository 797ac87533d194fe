// api_common.h — what the container, key and certificate calls share: the
// classes of obkey's key objects, and a container handle resolved to the
// label of one of its key types.
#ifndef OBKEY_P11TOKEN_API_COMMON_H
#define OBKEY_P11TOKEN_API_COMMON_H

#include <stdint.h>

#include <string>
#include <vector>

#include "objects.h"
#include "xcsp_eclib.h"

namespace obkey::p11token {

inline constexpr CK_OBJECT_CLASS kPublicKeyClass = CKO_PUBLIC_KEY;
inline constexpr CK_OBJECT_CLASS kPrivateKeyClass = CKO_PRIVATE_KEY;
inline constexpr CK_OBJECT_CLASS kCertificateClass = CKO_CERTIFICATE;

enum class Login { kNeeded, kNotNeeded };

// KeyRef names one key type of one container.
struct KeyRef {
  Cryptoki c;
  uint32_t slot = 0;
  uint32_t key_type = 0;
  std::string name;  // the container's
  std::string label;
};

// ResolveKey resolves a container handle and key type (1 or 2) to the
// key's label, after the login check when `login` says so:
// P11ST_BAD_HANDLE, P11ST_BAD_KEY_TYPE, P11ST_NOT_LOGGED_IN or
// P11ST_CONTAINER_NOT_FOUND otherwise.
int32_t ResolveKey(XcHandle container, uint32_t key_type, Login login, KeyRef *out);

// FindOne stores the first object of `object_class` under the key's label;
// P11ST_KEY_NOT_FOUND when there is none.
int32_t FindOne(const KeyRef &key, CK_OBJECT_CLASS object_class, CK_OBJECT_HANDLE *out);

// FindPair stores every key object (both halves) under the key's label.
int32_t FindPair(const KeyRef &key, std::vector<CK_OBJECT_HANDLE> *out);

// CreateObject creates one object from `tmpl`.
int32_t CreateObject(const Cryptoki &c, std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE *out);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_API_COMMON_H

// objects.h — the token objects the library keeps, and the few PKCS #11
// object calls it makes on them. README.md in this folder lists the labels.
#ifndef OBKEY_P11TOKEN_OBJECTS_H
#define OBKEY_P11TOKEN_OBJECTS_H

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "cryptoki.h"

namespace obkey::p11token {

using Bytes = std::vector<uint8_t>;

// Cryptoki is one open PKCS #11 session and the module it belongs to.
struct Cryptoki {
  CK_FUNCTION_LIST *functions = nullptr;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
};

// The value of CKA_APPLICATION on every data object of ours.
inline constexpr char kApplication[] = "obkey";
inline constexpr char kContainersLabel[] = "obkey containers";
inline constexpr size_t kContainerSlots = 2;
inline constexpr size_t kMaxContainerName = 47;

// KeyLabel is the CKA_LABEL of the key pair (both objects) and the
// certificate of `key_type` in the container `container_name`:
// "<name>/exchange" for type 1, "<name>/signature" for type 2.
std::string KeyLabel(const std::string &container_name, uint32_t key_type);

// KeyId is the CKA_ID given to the pair and the certificate that obkey
// makes: the container slot and the key type, one byte each.
Bytes KeyId(uint32_t container_slot, uint32_t key_type);

// FileLabel is the CKA_LABEL of user file `number`: "obkey file <number>".
std::string FileLabel(uint32_t number);

// Attr builds one template entry over `value`, which must outlive its use.
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void *value, size_t value_len);
CK_ATTRIBUTE BoolAttr(CK_ATTRIBUTE_TYPE type, bool value);
CK_ATTRIBUTE UlongAttr(CK_ATTRIBUTE_TYPE type, const CK_ULONG *value);

// FindObjects stores the handles of every object matching `tmpl`.
int32_t FindObjects(const Cryptoki &c, std::vector<CK_ATTRIBUTE> tmpl,
                    std::vector<CK_OBJECT_HANDLE> *out_objects);

// FindLabelled finds the objects of `object_class` with CKA_LABEL `label`.
int32_t FindLabelled(const Cryptoki &c, CK_OBJECT_CLASS object_class, const std::string &label,
                     std::vector<CK_OBJECT_HANDLE> *out_objects);

// ReadAttribute stores the value of one attribute of `object`.
int32_t ReadAttribute(const Cryptoki &c, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                      Bytes *out_value);

// DestroyObjects destroys every object of the list, and returns the first
// failure after trying them all.
int32_t DestroyObjects(const Cryptoki &c, const std::vector<CK_OBJECT_HANDLE> &objects);

// ReadDataObject reads the value of our data object `label`; `*out_found`
// says whether there is one. Of two (a replacement interrupted between its
// two steps) it reads the first the module lists: each is a whole value.
int32_t ReadDataObject(const Cryptoki &c, const std::string &label, bool *out_found,
                       Bytes *out_value);

// ReplaceDataObject makes `value` the value of our public data object
// `label`: the new object is created before the old ones are destroyed, so
// an interruption leaves one of the two.
int32_t ReplaceDataObject(const Cryptoki &c, const std::string &label, const Bytes &value);

// ContainerNames are the names in the two container slots ("" when empty).
using ContainerNames = std::array<std::string, kContainerSlots>;

// ReadContainerNames reads the container directory (none: both empty).
int32_t ReadContainerNames(const Cryptoki &c, ContainerNames *out_names);
int32_t WriteContainerNames(const Cryptoki &c, const ContainerNames &names);

// RequireLogin returns 0 when the user is logged in to the session's token,
// P11ST_NOT_LOGGED_IN when not.
int32_t RequireLogin(const Cryptoki &c);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_OBJECTS_H

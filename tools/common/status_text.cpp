#include "status_text.h"

#include "obkey_types.h"
// The PKCS #11 token library's own header first, so that obkey_status.h
// checks its table against it below.
#include "p11token_status.h"
//
#include "obkey_status.h"
#include "pkcs11_names.h"

namespace obkey {
namespace {

struct StatusEntry {
  int32_t value;
  const char *name;
  const char *text;
};

#define OBKEY_STATUS_ENTRY(name, value, text) {static_cast<int32_t>(value), #name, text},

// OB_PVK_ENABLED shares its value with OB_E_KEY_IMPORT and is an answer, not
// a failure: the failure names the value.
constexpr StatusEntry kStatuses[] = {
    {OB_OK, "OK", "done"},
    {OB_E_ARGUMENT, "OB_E_ARGUMENT",
     "obkey refused an argument (missing, empty, out of range, or a selector it does not "
     "accept)"},
    {OB_E_KEY_IMPORT, "OB_E_KEY_IMPORT", "the key record or the algorithm was not accepted"},
    {OB_E_NO_SESSION, "OB_E_NO_SESSION", "no token session could be opened"},
    {OBCERT_E_PROPERTY, "OBCERT_E_PROPERTY", "unknown certificate property"},
    {OBCERT_E_NO_CERT, "OBCERT_E_NO_CERT", "no certificate can be delivered"},
    {OB_NTE_BAD_ALGID, "NTE_BAD_ALGID", "unknown algorithm identifier"},
    {CIPHER_E_KEY, "CIPHER_E_KEY",
     "a triple-DES key part is refused (a weak or semi-weak DES key, or parts that repeat)"},
    {CIPHER_E_LENGTH, "CIPHER_E_LENGTH", "ECB or CBC data must be a multiple of 8 bytes long"},
    OBKEY_CLIENT_STATUS_LIST(OBKEY_STATUS_ENTRY)};

#undef OBKEY_STATUS_ENTRY

// The installed table names the PKCS #11 token library's own statuses with
// the values that library returns.
#define OBKEY_SAME_VALUE(name, value, text) \
  static_assert(name == static_cast<int32_t>(value), #name " differs from p11token_status.h");
OBKEY_P11_STATUS_LIST(OBKEY_SAME_VALUE)
#undef OBKEY_SAME_VALUE

// The PKCS #11 token library passes a module's own return value on in two
// ranges of its own.
constexpr StatusEntry kPkcs11Ranges[] = {
    {P11ST_CKR_BASE, "P11ST_CKR", "the PKCS #11 module returned this CKR_ value (low half)"},
    {P11ST_CKR_VENDOR_BASE, "P11ST_CKR_VENDOR",
     "the PKCS #11 module returned a vendor-defined CKR_ value (low half)"},
    {P11ST_DATA_REFUSED_BASE, "P11ST_DATA_REFUSED",
     "the PKCS #11 module refused to create obkey's data object with this CKR_ value (low half)"},
    {P11ST_NO_MECHANISM_BASE, "P11ST_NO_MECHANISM",
     "the PKCS #11 module lacks this CKM_ mechanism (low half)"},
};

struct ValueName {
  uint32_t value;
  const char *name;
};
#define OBKEY_VALUE_NAME(name, value) {value, #name},
constexpr ValueName kReturnValues[] = {OBKEY_PKCS11_CKR_LIST(OBKEY_VALUE_NAME)};
constexpr ValueName kMechanisms[] = {OBKEY_PKCS11_CKM_LIST(OBKEY_VALUE_NAME)};
#undef OBKEY_VALUE_NAME

template <size_t N>
const char *NameOf(const ValueName (&names)[N], uint32_t value) {
  for (const ValueName &entry : names) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

const StatusEntry *Find(int32_t status) {
  for (const StatusEntry &entry : kStatuses) {
    if (entry.value == status) return &entry;
  }
  const uint32_t high = static_cast<uint32_t>(status) & 0xFFFF0000u;
  for (const StatusEntry &entry : kPkcs11Ranges) {
    if (static_cast<uint32_t>(entry.value) == high) return &entry;
  }
  return nullptr;
}

}  // namespace

const char *StatusName(int32_t status) {
  const StatusEntry *entry = Find(status);
  return entry != nullptr ? entry->name : nullptr;
}

const char *StatusText(int32_t status) {
  const StatusEntry *entry = Find(status);
  return entry != nullptr ? entry->text : nullptr;
}

const char *Pkcs11ValueName(int32_t status) {
  const uint32_t high = static_cast<uint32_t>(status) & 0xFFFF0000u;
  const uint32_t low = static_cast<uint32_t>(status) & 0xFFFFu;
  if (high == P11ST_CKR_BASE || high == P11ST_DATA_REFUSED_BASE) {
    return NameOf(kReturnValues, low);
  }
  return high == P11ST_NO_MECHANISM_BASE ? NameOf(kMechanisms, low) : nullptr;
}

std::string Pkcs11StatusText(int32_t status) {
  const char *name = Pkcs11ValueName(status);
  if (name == nullptr) return "";
  switch (static_cast<uint32_t>(status) & 0xFFFF0000u) {
    case P11ST_CKR_BASE:
      return std::string("the PKCS #11 module returned ") + name;
    case P11ST_DATA_REFUSED_BASE:
      return std::string("the PKCS #11 module refused to create obkey's data object: ") + name;
    default:
      return std::string("the PKCS #11 module lacks the mechanism ") + name;
  }
}

}  // namespace obkey

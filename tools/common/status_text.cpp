#include "status_text.h"

#include "obkey_types.h"
// The PKCS #11 token library's own header first, so that obkey_status.h
// checks its table against it below.
#include "p11token_status.h"
//
#include "obkey_status.h"

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
};

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

}  // namespace obkey

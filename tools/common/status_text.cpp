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

// The installed table names the PKCS #11 token library's own statuses with
// the values that library returns, and obkey's own with the values of the
// interface.
#define OBKEY_SAME_VALUE(name, value, text) \
  static_assert(name == static_cast<int32_t>(value), #name " differs from its header");
OBKEY_P11_STATUS_LIST(OBKEY_SAME_VALUE)
OBKEY_OWN_STATUS_LIST(OBKEY_SAME_VALUE)
#undef OBKEY_SAME_VALUE
static_assert(P11ST_CKR_BASE == 0x50320000 && P11ST_CKR_VENDOR_BASE == 0x50330000 &&
                  P11ST_DATA_REFUSED_BASE == 0x50340000 && P11ST_NO_MECHANISM_BASE == 0x50350000,
              "the PKCS #11 ranges differ from the installed table");

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

}  // namespace

const char *StatusName(int32_t status) {
  return obkey_status_name(status);
}

const char *StatusText(int32_t status) {
  return obkey_status_text(status);
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

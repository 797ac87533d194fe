#include "status_text.h"

#include "obkey_types.h"
// The PKCS #11 token library's own header first, so that obkey_status.h
// checks its table against it below.
#include "p11token_status.h"
//
#include "obkey_status.h"

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
static_assert(P11ST_CKR_BASE == 0x50320000 && P11ST_CKR_VENDOR_BASE == 0x50330000,
              "the PKCS #11 ranges differ from the installed table");

}  // namespace

const char *StatusName(int32_t status) {
  return obkey_status_name(status);
}

const char *StatusText(int32_t status) {
  return obkey_status_text(status);
}

}  // namespace obkey

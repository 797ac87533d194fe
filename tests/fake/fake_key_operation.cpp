// FormatMWKey of the fake: records into the fake token library's trace.
#include "fake_token.h"
#include "key_operation.h"

extern "C" XCEXPORT int32_t XCAPI FormatMWKey(const char *admin_pin, const char *second_text,
                                              int32_t device_index) {
  return FakeToken_FormatMWKey(admin_pin, second_text, device_index);
}

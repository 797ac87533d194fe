// The exported function of KeyOperation: formats a software token.
#include "key_operation.h"
#include "softtoken_api.h"
#include "softtoken_guard.h"
#include "xcsp_eclib.h"

extern "C" int32_t XCAPI FormatMWKey(const char *admin_pin, const char *second_text,
                                     int32_t device_index) {
  namespace st = obkey::softtoken;
  return st::Guarded([&] { return st::FormatToken(admin_pin, second_text, device_index); });
}

// The exported function of KeyOperation: formats a software token.
#include "softtoken/export_guard.h"
#include "softtoken/token_api.h"
#include "token/xcsp_eclib.h"

extern "C" int32_t XCAPI FormatMWKey(const char *admin_pin, const char *second_text,
                                     int32_t device_index) {
  namespace st = obkey::softtoken;
  return st::Guarded([&] { return st::FormatToken(admin_pin, second_text, device_index); });
}

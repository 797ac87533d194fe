// The exported function of KeyOperation: formats the token of a device.
#include "key_operation.h"
#include "p11token_api.h"
#include "p11token_guard.h"
#include "xcsp_eclib.h"

extern "C" int32_t XCAPI FormatMWKey(const char *admin_pin, const char *second_text,
                                     int32_t device_index) {
  namespace p11 = obkey::p11token;
  return p11::Guarded([&] { return p11::FormatToken(admin_pin, second_text, device_index); });
}

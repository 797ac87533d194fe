// key_operation.h — the formatting library KeyOperation, as obkey calls it.
// It comes from the token's vendor with xcsp_eclib and shares its calling
// convention.
#ifndef OBKEY_VENDOR_KEY_OPERATION_H
#define OBKEY_VENDOR_KEY_OPERATION_H

#include <stdint.h>

#include "xcsp_eclib.h"

#ifdef __cplusplus
extern "C" {
#endif

// The admin PIN that obkey passes to FormatMWKey (twice: as the admin PIN
// and as the second text), and so the one a token made for obkey carries.
#define KEY_OPERATION_ADMIN_PIN "ZARQU.1974"

// FormatMWKey formats the token of the device; the admin PIN must match.
XCEXPORT int32_t XCAPI FormatMWKey(const char *admin_pin, const char *second_text,
                                   int32_t device_index);

#ifdef __cplusplus
}
#endif

#endif  // OBKEY_VENDOR_KEY_OPERATION_H

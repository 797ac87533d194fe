// p11token_status.h — every status the PKCS #11 token library returns
// besides 0.
//
// Where a failure is one the software token also reports, the value is the
// software token's (high half 0x5843), so that obkey and its callers see the
// same answer from either token library. Failures of our own have the high
// half 0x5031 ("P1"); a PKCS #11 return value with no counterpart comes back
// as 0x5032xxxx (standard values, xxxx = the CKR_ value) or 0x5033xxxx
// (vendor-defined values, xxxx = the low half). p11token/README.md says
// when each one is returned.
#ifndef OBKEY_STATUS_P11TOKEN_STATUS_H
#define OBKEY_STATUS_P11TOKEN_STATUS_H

#include <stdint.h>

// X(name, value, short description)
#define P11ST_STATUS_LIST(X)                                                            \
  X(P11ST_BAD_ARGUMENT, 0x58430001, "null pointer or malformed argument")               \
  X(P11ST_BAD_HANDLE, 0x58430002, "unknown or closed session, container or file")       \
  X(P11ST_NO_TOKEN, 0x58430003, "no initialised token in the device's slot")            \
  X(P11ST_TOKEN_BUSY, 0x58430004, "module locked by another session")                   \
  X(P11ST_BUFFER_TOO_SMALL, 0x58430008, "output buffer too small; length reported")     \
  X(P11ST_BAD_PIN_TYPE, 0x58430009, "PIN type other than the user PIN (2)")             \
  X(P11ST_PIN_LENGTH, 0x5843000A, "PIN empty or of a length the token refuses")         \
  X(P11ST_PIN_INCORRECT, 0x5843000B, "wrong user PIN")                                  \
  X(P11ST_PIN_LOCKED, 0x5843000C, "user PIN locked by the token")                       \
  X(P11ST_NOT_LOGGED_IN, 0x5843000D, "user PIN not verified on this token")             \
  X(P11ST_ADMIN_PIN_INCORRECT, 0x5843000E, "wrong admin (SO) PIN for formatting")       \
  X(P11ST_BAD_MODE, 0x5843000F, "unknown container or user-file mode")                  \
  X(P11ST_BAD_CONTAINER_NAME, 0x58430010, "container name empty or over 47 characters") \
  X(P11ST_CONTAINER_EXISTS, 0x58430011, "container slot already taken")                 \
  X(P11ST_CONTAINER_NOT_FOUND, 0x58430012, "no container of that name or slot")         \
  X(P11ST_BAD_SLOT, 0x58430013, "container slot other than 0 or 1")                     \
  X(P11ST_BAD_PARAM, 0x58430014, "unknown container or token parameter")                \
  X(P11ST_BAD_KEY_TYPE, 0x58430015, "key type other than 1 or 2")                       \
  X(P11ST_KEY_NOT_FOUND, 0x58430016, "no key pair of that type in the container")       \
  X(P11ST_BAD_KEY, 0x58430017, "key not a 1024-bit RSA key with exponent 65537")        \
  X(P11ST_DATA_LENGTH, 0x58430018, "RSA input length outside the block rules")          \
  X(P11ST_DATA_RANGE, 0x58430019, "RSA block not below the modulus")                    \
  X(P11ST_CRYPTO, 0x5843001A, "key check or random bytes failed")                       \
  X(P11ST_CERT_NOT_FOUND, 0x5843001B, "no certificate for that key specification")      \
  X(P11ST_CERT_LENGTH, 0x5843001C, "certificate of 0 or more than 4096 bytes")          \
  X(P11ST_FILE_EXISTS, 0x5843001D, "user file already exists")                          \
  X(P11ST_FILE_NOT_FOUND, 0x5843001E, "no such user file")                              \
  X(P11ST_FILE_BOUNDS, 0x5843001F, "write past the end of the user file")               \
  X(P11ST_FILE_SPACE_FULL, 0x58430020, "the token has no room for the object")          \
  X(P11ST_INTERNAL, 0x58430021, "unexpected failure inside the library")                \
  X(P11ST_NO_MODULE, 0x50310001, "no PKCS #11 module configured")                       \
  X(P11ST_MODULE_LOAD, 0x50310002, "the PKCS #11 module could not be loaded")           \
  X(P11ST_MODULE_INIT, 0x50310003, "the PKCS #11 module refused C_Initialize")          \
  X(P11ST_CHANGED, 0x50310004, "the object was changed by another program meanwhile")   \
  X(P11ST_LOCK_UNUSABLE, 0x50310005, "the module's lock file cannot be made")           \
  X(P11ST_NO_DATA_OBJECTS, 0x50310006, "the module keeps no data objects")

enum : int32_t {
#define P11ST_ENUM_ENTRY(name, value, text) name = static_cast<int32_t>(value),
  P11ST_STATUS_LIST(P11ST_ENUM_ENTRY)
#undef P11ST_ENUM_ENTRY
};

// A PKCS #11 return value without an interface status: the standard ones
// keep their value in the low half, the vendor-defined ones their low half.
#define P11ST_CKR_BASE 0x50320000
#define P11ST_CKR_VENDOR_BASE 0x50330000

#endif  // OBKEY_STATUS_P11TOKEN_STATUS_H

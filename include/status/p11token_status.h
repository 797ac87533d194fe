// p11token_status.h — every status the PKCS #11 token library returns
// besides 0.
//
// Where a failure is one the software token also reports, the value is the
// software token's own constant (high half 0x5843), so that obkey and its
// callers see the same answer from either token library and the two cannot
// drift apart. Failures of our own have the high
// half 0x5031 ("P1"); a PKCS #11 return value with no counterpart comes back
// as 0x5032xxxx (standard values, xxxx = the CKR_ value) or 0x5033xxxx
// (vendor-defined values, xxxx = the low half). p11token/README.md says
// when each one is returned.
#ifndef OBKEY_STATUS_P11TOKEN_STATUS_H
#define OBKEY_STATUS_P11TOKEN_STATUS_H

#include <stdint.h>

// The library's own failures are the installed list of obkey_status.h,
// which leaves their constants to this header once it is included.
#include "obkey_status.h"
#include "softtoken_status.h"

// X(name, value, short description)
#define P11ST_STATUS_LIST(X)                                                                    \
  X(P11ST_BAD_ARGUMENT, XCST_BAD_ARGUMENT, "null pointer or malformed argument")                \
  X(P11ST_BAD_HANDLE, XCST_BAD_HANDLE, "unknown or closed session, container or file")          \
  X(P11ST_NO_TOKEN, XCST_NO_TOKEN, "no initialised token in the device's slot")                 \
  X(P11ST_TOKEN_BUSY, XCST_TOKEN_BUSY, "module locked by another session")                      \
  X(P11ST_BUFFER_TOO_SMALL, XCST_BUFFER_TOO_SMALL, "output buffer too small; length reported")  \
  X(P11ST_BAD_PIN_TYPE, XCST_BAD_PIN_TYPE, "PIN type other than the user PIN (2)")              \
  X(P11ST_PIN_LENGTH, XCST_PIN_LENGTH, "PIN empty or of a length the token refuses")            \
  X(P11ST_PIN_INCORRECT, XCST_PIN_INCORRECT, "wrong user PIN")                                  \
  X(P11ST_PIN_LOCKED, XCST_PIN_LOCKED, "user PIN locked by the token")                          \
  X(P11ST_NOT_LOGGED_IN, XCST_NOT_LOGGED_IN, "user PIN not verified on this token")             \
  X(P11ST_ADMIN_PIN_INCORRECT, XCST_ADMIN_PIN_INCORRECT, "wrong admin (SO) PIN for formatting") \
  X(P11ST_BAD_MODE, XCST_BAD_MODE, "unknown container or user-file mode")                       \
  X(P11ST_BAD_CONTAINER_NAME, XCST_BAD_CONTAINER_NAME,                                          \
    "container name empty or over 47 characters")                                               \
  X(P11ST_CONTAINER_EXISTS, XCST_CONTAINER_EXISTS, "container slot already taken")              \
  X(P11ST_CONTAINER_NOT_FOUND, XCST_CONTAINER_NOT_FOUND, "no container of that name or slot")   \
  X(P11ST_BAD_SLOT, XCST_BAD_SLOT, "container slot other than 0 or 1")                          \
  X(P11ST_BAD_PARAM, XCST_BAD_PARAM, "unknown container or token parameter")                    \
  X(P11ST_BAD_KEY_TYPE, XCST_BAD_KEY_TYPE, "key type other than 1 or 2")                        \
  X(P11ST_KEY_NOT_FOUND, XCST_KEY_NOT_FOUND, "no key pair of that type in the container")       \
  X(P11ST_BAD_KEY, XCST_BAD_KEY, "key not a 1024-bit RSA key with exponent 65537")              \
  X(P11ST_DATA_LENGTH, XCST_DATA_LENGTH, "RSA input length outside the block rules")            \
  X(P11ST_DATA_RANGE, XCST_DATA_RANGE, "RSA block not below the modulus")                       \
  X(P11ST_CRYPTO, XCST_CRYPTO, "key check or random bytes failed")                              \
  X(P11ST_CERT_NOT_FOUND, XCST_CERT_NOT_FOUND, "no certificate for that key specification")     \
  X(P11ST_CERT_LENGTH, XCST_CERT_LENGTH, "certificate of 0 or more than 4096 bytes")            \
  X(P11ST_FILE_EXISTS, XCST_FILE_EXISTS, "user file already exists")                            \
  X(P11ST_FILE_NOT_FOUND, XCST_FILE_NOT_FOUND, "no such user file")                             \
  X(P11ST_FILE_BOUNDS, XCST_FILE_BOUNDS, "write past the end of the user file")                 \
  X(P11ST_FILE_SPACE_FULL, XCST_FILE_SPACE_FULL, "the token has no room for the object")        \
  X(P11ST_INTERNAL, XCST_INTERNAL, "unexpected failure inside the library")                     \
  OBKEY_P11_STATUS_LIST(X)

enum : int32_t {
#define P11ST_ENUM_ENTRY(name, value, text) name = static_cast<int32_t>(value),
  P11ST_STATUS_LIST(P11ST_ENUM_ENTRY)
#undef P11ST_ENUM_ENTRY
};

// A PKCS #11 return value without an interface status: the standard ones
// keep their value in the low half, the vendor-defined ones their low half.
// A module's refusal to create one of obkey's data objects, and a mechanism
// the module lacks, keep the CKR_ and CKM_ value in the low half.
#ifndef P11ST_CKR_BASE
#define P11ST_CKR_BASE 0x50320000
#define P11ST_CKR_VENDOR_BASE 0x50330000
#define P11ST_DATA_REFUSED_BASE 0x50340000
#define P11ST_NO_MECHANISM_BASE 0x50350000
#endif

#endif  // OBKEY_STATUS_P11TOKEN_STATUS_H

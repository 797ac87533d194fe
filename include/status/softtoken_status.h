// softtoken_status.h — every status the software token (xcsp_eclib and
// KeyOperation stand-ins) returns besides 0.
//
// All values are positive, nonzero and above 0xFFFF, so they never collide
// with obkey's own codes (-1, 1, 3, 9, 10, 0x0401..0x0408, 0x80090008,
// 0x86000010, 0x86000013). The high half 0x5843 spells "XC". softtoken/README.md
// says when each one is returned.
#ifndef OBKEY_STATUS_SOFTTOKEN_STATUS_H
#define OBKEY_STATUS_SOFTTOKEN_STATUS_H

#include <stdint.h>

// X(name, value, short description)
#define XCST_STATUS_LIST(X)                                                               \
  X(XCST_BAD_ARGUMENT, 0x58430001, "null pointer or malformed argument")                  \
  X(XCST_BAD_HANDLE, 0x58430002, "unknown or closed session, container or file")          \
  X(XCST_NO_TOKEN, 0x58430003, "no token store for this device")                          \
  X(XCST_TOKEN_BUSY, 0x58430004, "token locked by another session")                       \
  X(XCST_STORE_CORRUPT, 0x58430005, "token store truncated or corrupted")                 \
  X(XCST_STORE_VERSION, 0x58430006, "token store of an unknown version")                  \
  X(XCST_STORE_IO, 0x58430007, "token store could not be read or written")                \
  X(XCST_BUFFER_TOO_SMALL, 0x58430008, "output buffer too small; length reported")        \
  X(XCST_BAD_PIN_TYPE, 0x58430009, "PIN type other than the user PIN (2)")                \
  X(XCST_PIN_LENGTH, 0x5843000A, "PIN empty or longer than 64 bytes")                     \
  X(XCST_PIN_INCORRECT, 0x5843000B, "wrong user PIN; one try fewer left")                 \
  X(XCST_PIN_LOCKED, 0x5843000C, "user PIN locked after too many wrong PINs")             \
  X(XCST_NOT_LOGGED_IN, 0x5843000D, "user PIN not verified in this process")              \
  X(XCST_ADMIN_PIN_INCORRECT, 0x5843000E, "wrong admin PIN for formatting")               \
  X(XCST_BAD_MODE, 0x5843000F, "unknown container or user-file mode")                     \
  X(XCST_BAD_CONTAINER_NAME, 0x58430010, "container name empty or over 47 characters")    \
  X(XCST_CONTAINER_EXISTS, 0x58430011, "container slot already taken")                    \
  X(XCST_CONTAINER_NOT_FOUND, 0x58430012, "no such container")                            \
  X(XCST_BAD_SLOT, 0x58430013, "container slot other than 0 or 1")                        \
  X(XCST_BAD_PARAM, 0x58430014, "unsupported parameter number")                           \
  X(XCST_BAD_KEY_TYPE, 0x58430015, "key type or key specification not 1 or 2")            \
  X(XCST_KEY_NOT_FOUND, 0x58430016, "no key pair of that type in the container")          \
  X(XCST_BAD_KEY, 0x58430017, "private key unreadable, inconsistent or not 1024-bit")     \
  X(XCST_DATA_LENGTH, 0x58430018, "input length not allowed for an RSA block")            \
  X(XCST_DATA_RANGE, 0x58430019, "raw RSA block not below the modulus")                   \
  X(XCST_CRYPTO, 0x5843001A, "OpenSSL operation failed")                                  \
  X(XCST_CERT_NOT_FOUND, 0x5843001B, "no certificate for that key specification")         \
  X(XCST_CERT_LENGTH, 0x5843001C, "certificate empty or over 4096 bytes")                 \
  X(XCST_FILE_EXISTS, 0x5843001D, "user file already exists")                             \
  X(XCST_FILE_NOT_FOUND, 0x5843001E, "user file does not exist")                          \
  X(XCST_FILE_BOUNDS, 0x5843001F, "write longer than the user file")                      \
  X(XCST_FILE_SPACE_FULL, 0x58430020, "user-file capacity (64 KiB, 256 files) used up")   \
  X(XCST_INTERNAL, 0x58430021, "unexpected internal failure (out of memory)")             \
  X(XCST_TOKEN_DIR_SHARED, 0x58430022, "token directory writable by group or others")     \
  X(XCST_STORE_BAD_KEY, 0x58430023, "private key inconsistent or its seal tampered with") \
  X(XCST_STORE_CHANGED, 0x58430024, "store changed by another session; nothing was kept") \
  X(XCST_DISK_FULL, 0x58430025, "no room left on the token store's disk")                 \
  X(XCST_TOKEN_DIR_FOREIGN, 0x58430026,                                                   \
    "token folder, or a folder above it, in another account's control")                   \
  X(XCST_BAD_SETTING, 0x58430027, "XCSP_TOKEN_SCRYPT_LOG2N not a number from 10 to 17")

#define XCST_DEFINE_CONSTANT(name, value, text) name = value,
enum XcSoftTokenStatus { XCST_STATUS_LIST(XCST_DEFINE_CONSTANT) };
#undef XCST_DEFINE_CONSTANT

#endif  // OBKEY_STATUS_SOFTTOKEN_STATUS_H

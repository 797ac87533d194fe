/* pkcs11_names.h — the names of the PKCS #11 return values (every standard
 * CKR_ value, up to version 3.2) and of the mechanisms the PKCS #11 token
 * library uses. The statuses of the ranges P11ST_CKR, P11ST_DATA_REFUSED and
 * P11ST_NO_MECHANISM carry one of these values in their low half.
 *
 * X-lists, X(name, value), with the values as numbers: neither the
 * standard's header nor p11-kit's is needed (p11-kit 0.24's gives a few
 * values of version 3.0 the numbers of an earlier draft). C and C++. */
#ifndef OBKEY_STATUS_PKCS11_NAMES_H
#define OBKEY_STATUS_PKCS11_NAMES_H

/* clang-format off */
#define OBKEY_PKCS11_CKR_LIST(X)                 \
  X(CKR_OK, 0x000)                               \
  X(CKR_CANCEL, 0x001)                           \
  X(CKR_HOST_MEMORY, 0x002)                      \
  X(CKR_SLOT_ID_INVALID, 0x003)                  \
  X(CKR_GENERAL_ERROR, 0x005)                    \
  X(CKR_FUNCTION_FAILED, 0x006)                  \
  X(CKR_ARGUMENTS_BAD, 0x007)                    \
  X(CKR_NO_EVENT, 0x008)                         \
  X(CKR_NEED_TO_CREATE_THREADS, 0x009)           \
  X(CKR_CANT_LOCK, 0x00A)                        \
  X(CKR_ATTRIBUTE_READ_ONLY, 0x010)              \
  X(CKR_ATTRIBUTE_SENSITIVE, 0x011)              \
  X(CKR_ATTRIBUTE_TYPE_INVALID, 0x012)           \
  X(CKR_ATTRIBUTE_VALUE_INVALID, 0x013)          \
  X(CKR_ACTION_PROHIBITED, 0x01B)                \
  X(CKR_DATA_INVALID, 0x020)                     \
  X(CKR_DATA_LEN_RANGE, 0x021)                   \
  X(CKR_DEVICE_ERROR, 0x030)                     \
  X(CKR_DEVICE_MEMORY, 0x031)                    \
  X(CKR_DEVICE_REMOVED, 0x032)                   \
  X(CKR_AEAD_DECRYPT_FAILED, 0x035)              \
  X(CKR_ENCRYPTED_DATA_INVALID, 0x040)           \
  X(CKR_ENCRYPTED_DATA_LEN_RANGE, 0x041)         \
  X(CKR_FUNCTION_CANCELED, 0x050)                \
  X(CKR_FUNCTION_NOT_PARALLEL, 0x051)            \
  X(CKR_FUNCTION_NOT_SUPPORTED, 0x054)           \
  X(CKR_KEY_HANDLE_INVALID, 0x060)               \
  X(CKR_KEY_SIZE_RANGE, 0x062)                   \
  X(CKR_KEY_TYPE_INCONSISTENT, 0x063)            \
  X(CKR_KEY_NOT_NEEDED, 0x064)                   \
  X(CKR_KEY_CHANGED, 0x065)                      \
  X(CKR_KEY_NEEDED, 0x066)                       \
  X(CKR_KEY_INDIGESTIBLE, 0x067)                 \
  X(CKR_KEY_FUNCTION_NOT_PERMITTED, 0x068)       \
  X(CKR_KEY_NOT_WRAPPABLE, 0x069)                \
  X(CKR_KEY_UNEXTRACTABLE, 0x06A)                \
  X(CKR_MECHANISM_INVALID, 0x070)                \
  X(CKR_MECHANISM_PARAM_INVALID, 0x071)          \
  X(CKR_OBJECT_HANDLE_INVALID, 0x082)            \
  X(CKR_OPERATION_ACTIVE, 0x090)                 \
  X(CKR_OPERATION_NOT_INITIALIZED, 0x091)        \
  X(CKR_PIN_INCORRECT, 0x0A0)                    \
  X(CKR_PIN_INVALID, 0x0A1)                      \
  X(CKR_PIN_LEN_RANGE, 0x0A2)                    \
  X(CKR_PIN_EXPIRED, 0x0A3)                      \
  X(CKR_PIN_LOCKED, 0x0A4)                       \
  X(CKR_SESSION_CLOSED, 0x0B0)                   \
  X(CKR_SESSION_COUNT, 0x0B1)                    \
  X(CKR_SESSION_HANDLE_INVALID, 0x0B3)           \
  X(CKR_SESSION_PARALLEL_NOT_SUPPORTED, 0x0B4)   \
  X(CKR_SESSION_READ_ONLY, 0x0B5)                \
  X(CKR_SESSION_EXISTS, 0x0B6)                   \
  X(CKR_SESSION_READ_ONLY_EXISTS, 0x0B7)         \
  X(CKR_SESSION_READ_WRITE_SO_EXISTS, 0x0B8)     \
  X(CKR_SIGNATURE_INVALID, 0x0C0)                \
  X(CKR_SIGNATURE_LEN_RANGE, 0x0C1)              \
  X(CKR_TEMPLATE_INCOMPLETE, 0x0D0)              \
  X(CKR_TEMPLATE_INCONSISTENT, 0x0D1)            \
  X(CKR_TOKEN_NOT_PRESENT, 0x0E0)                \
  X(CKR_TOKEN_NOT_RECOGNIZED, 0x0E1)             \
  X(CKR_TOKEN_WRITE_PROTECTED, 0x0E2)            \
  X(CKR_UNWRAPPING_KEY_HANDLE_INVALID, 0x0F0)    \
  X(CKR_UNWRAPPING_KEY_SIZE_RANGE, 0x0F1)        \
  X(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT, 0x0F2) \
  X(CKR_USER_ALREADY_LOGGED_IN, 0x100)           \
  X(CKR_USER_NOT_LOGGED_IN, 0x101)               \
  X(CKR_USER_PIN_NOT_INITIALIZED, 0x102)         \
  X(CKR_USER_TYPE_INVALID, 0x103)                \
  X(CKR_USER_ANOTHER_ALREADY_LOGGED_IN, 0x104)   \
  X(CKR_USER_TOO_MANY_TYPES, 0x105)              \
  X(CKR_WRAPPED_KEY_INVALID, 0x110)              \
  X(CKR_WRAPPED_KEY_LEN_RANGE, 0x112)            \
  X(CKR_WRAPPING_KEY_HANDLE_INVALID, 0x113)      \
  X(CKR_WRAPPING_KEY_SIZE_RANGE, 0x114)          \
  X(CKR_WRAPPING_KEY_TYPE_INCONSISTENT, 0x115)   \
  X(CKR_RANDOM_SEED_NOT_SUPPORTED, 0x120)        \
  X(CKR_RANDOM_NO_RNG, 0x121)                    \
  X(CKR_DOMAIN_PARAMS_INVALID, 0x130)            \
  X(CKR_CURVE_NOT_SUPPORTED, 0x140)              \
  X(CKR_BUFFER_TOO_SMALL, 0x150)                 \
  X(CKR_SAVED_STATE_INVALID, 0x160)              \
  X(CKR_INFORMATION_SENSITIVE, 0x170)            \
  X(CKR_STATE_UNSAVEABLE, 0x180)                 \
  X(CKR_CRYPTOKI_NOT_INITIALIZED, 0x190)         \
  X(CKR_CRYPTOKI_ALREADY_INITIALIZED, 0x191)     \
  X(CKR_MUTEX_BAD, 0x1A0)                        \
  X(CKR_MUTEX_NOT_LOCKED, 0x1A1)                 \
  X(CKR_NEW_PIN_MODE, 0x1B0)                     \
  X(CKR_NEXT_OTP, 0x1B1)                         \
  X(CKR_EXCEEDED_MAX_ITERATIONS, 0x1B5)          \
  X(CKR_FIPS_SELF_TEST_FAILED, 0x1B6)            \
  X(CKR_LIBRARY_LOAD_FAILED, 0x1B7)              \
  X(CKR_PIN_TOO_WEAK, 0x1B8)                     \
  X(CKR_PUBLIC_KEY_INVALID, 0x1B9)               \
  X(CKR_FUNCTION_REJECTED, 0x200)                \
  X(CKR_TOKEN_RESOURCE_EXCEEDED, 0x201)          \
  X(CKR_OPERATION_CANCEL_FAILED, 0x202)          \
  X(CKR_KEY_EXHAUSTED, 0x203)                    \
  X(CKR_PENDING, 0x204)                          \
  X(CKR_SESSION_ASYNC_NOT_SUPPORTED, 0x205)      \
  X(CKR_SEED_RANDOM_REQUIRED, 0x206)             \
  X(CKR_OPERATION_NOT_VALIDATED, 0x207)          \
  X(CKR_TOKEN_NOT_INITIALIZED, 0x208)            \
  X(CKR_PARAMETER_SET_NOT_SUPPORTED, 0x209)

/* The mechanisms the PKCS #11 token library asks a module for. */
#define OBKEY_PKCS11_CKM_LIST(X)            \
  X(CKM_RSA_PKCS_KEY_PAIR_GEN, 0x000)       \
  X(CKM_RSA_X_509, 0x003)
/* clang-format on */

#endif /* OBKEY_STATUS_PKCS11_NAMES_H */

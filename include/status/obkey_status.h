/* obkey_status.h — the name and a one-line text of every status a call of obkey can return:
 * obkey's own (OB_E_*, OBCERT_E_*, CIPHER_E_*; obkey_types.h defines their constants), and
 * those of the token library, the PKCS #11 token library and the enrollment library, which
 * obkey returns unchanged. Compare a status with these names, or show its text:
 *
 *   const char *name = obkey_status_name(status);  (null for a value none of them returns)
 *   const char *text = obkey_status_text(status);
 *
 * Both are inline functions of this header: C (C99 and later) and C++, nothing to link.
 *
 *   -1 .. 10, 0x80090008,   obkey's own
 *   0x8600001x
 *   0x5843xxxx  XCST_*  the token library (the software token; the PKCS #11
 *                       token library returns the same value for the same
 *                       failure)
 *   0x5031xxxx  P11ST_* failures of the PKCS #11 token library's own
 *   0x5032xxxx          a PKCS #11 module's CKR_ value (low half) passed on
 *   0x5033xxxx          a module's vendor-defined CKR_ value (low half)
 *   0x5034xxxx          the CKR_ value (low half) with which a module refused
 *                       to create one of obkey's data objects
 *   0x5035xxxx          the CKM_ value (low half) of a mechanism a module
 *                       lacks
 *   0x5645xxxx  VEST_*  the enrollment library
 *
 * A token, formatting or enrollment library from elsewhere (a vendor's own) returns values of
 * its own, which have no name here.
 *
 * Every table is an X-list, X(name, value, short description), for clients
 * that want the names and texts as data. */
#ifndef OBKEY_STATUS_OBKEY_STATUS_H
#define OBKEY_STATUS_OBKEY_STATUS_H

#include <stdint.h>

#include "enrollsim_status.h"
#include "softtoken_status.h"

#define OBKEY_P11_STATUS_LIST(X)                                                      \
  X(P11ST_NO_MODULE, 0x50310001, "no PKCS #11 module configured")                     \
  X(P11ST_MODULE_LOAD, 0x50310002, "the PKCS #11 module could not be loaded")         \
  X(P11ST_MODULE_INIT, 0x50310003, "the PKCS #11 module refused C_Initialize")        \
  X(P11ST_CHANGED, 0x50310004, "the object was changed by another program meanwhile") \
  X(P11ST_LOCK_UNUSABLE, 0x50310005, "the module's lock file cannot be made")         \
  X(P11ST_NO_DATA_OBJECTS, 0x50310006, "the module keeps no data objects")            \
  X(P11ST_INIT_IGNORED, 0x50310007,                                                   \
    "the module answered C_InitToken with CKR_OK but left the token uninitialised")

/* The PKCS #11 token library's sources define the same names themselves. */
#ifndef OBKEY_STATUS_P11TOKEN_STATUS_H
#define OBKEY_P11_DEFINE_CONSTANT(name, value, text) name = value,
enum ObkeyP11TokenStatus { OBKEY_P11_STATUS_LIST(OBKEY_P11_DEFINE_CONSTANT) };
#undef OBKEY_P11_DEFINE_CONSTANT
#define P11ST_CKR_BASE 0x50320000
#define P11ST_CKR_VENDOR_BASE 0x50330000
#define P11ST_DATA_REFUSED_BASE 0x50340000
#define P11ST_NO_MECHANISM_BASE 0x50350000
#endif

/* Every status of the three libraries, each value once. */
#define OBKEY_CLIENT_STATUS_LIST(X) XCST_STATUS_LIST(X) OBKEY_P11_STATUS_LIST(X) VEST_STATUS_LIST(X)

/* obkey's own failures, as data: obkey_types.h defines the constants of these names. The
 * answer 1 of OB_IsPVKEnabeled (OB_PVK_ENABLED) shares its value with OB_E_KEY_IMPORT and is
 * no failure. */
#define OBKEY_OWN_STATUS_LIST(X)                                                              \
  X(OB_E_ARGUMENT, -1,                                                                        \
    "obkey refused the call: an argument missing, empty or out of range, a selector it does " \
    "not accept, a label not stored or a full label directory (the function's comment says "  \
    "which)")                                                                                 \
  X(OB_E_KEY_IMPORT, 1, "the symmetric key record or its algorithm was not accepted")         \
  X(OB_E_NO_SESSION, 3,                                                                       \
    "no token session could be opened: no device configured, or the token library refused "   \
    "to connect (its own status is not passed on)")                                           \
  X(OBCERT_E_PROPERTY, 9, "unknown certificate property")                                     \
  X(OBCERT_E_NO_CERT, 10, "no certificate can be delivered")                                  \
  X(OB_NTE_BAD_ALGID, 0x80090008, "unknown algorithm identifier")                             \
  X(CIPHER_E_KEY, 0x86000010,                                                                 \
    "a triple-DES key part is refused (a weak or semi-weak DES key, or parts that repeat)")   \
  X(CIPHER_E_LENGTH, 0x86000013, "ECB or CBC data must be a multiple of 8 bytes long")

/* Every status a call of obkey can return besides 0, each value once. */
#define OBKEY_ALL_STATUS_LIST(X) OBKEY_OWN_STATUS_LIST(X) OBKEY_CLIENT_STATUS_LIST(X)

/* The ranges in which the PKCS #11 token library passes a module's own value on. */
#define OBKEY_P11_CKR_RANGE_LIST(X)                                                        \
  X(P11ST_CKR, 0x50320000, "the PKCS #11 module returned this CKR_ value (low half)")      \
  X(P11ST_CKR_VENDOR, 0x50330000,                                                          \
    "the PKCS #11 module returned a vendor-defined CKR_ value (low half)")                 \
  X(P11ST_DATA_REFUSED, 0x50340000,                                                        \
    "the PKCS #11 module refused to create obkey's data object with this CKR_ value (low " \
    "half)")                                                                               \
  X(P11ST_NO_MECHANISM, 0x50350000, "the PKCS #11 module lacks this CKM_ mechanism (low half)")

#if defined(__cplusplus)
#define OBKEY_STATUS_INLINE inline
#elif defined(_MSC_VER)
#define OBKEY_STATUS_INLINE static __inline
#else
#define OBKEY_STATUS_INLINE static inline
#endif

/* obkey_status_name is the status's constant name ("OB_E_NO_SESSION", "XCST_PIN_LOCKED";
 * "P11ST_CKR" for a module's value passed on), "OK" for 0, or null for a value that none of
 * the libraries shipped with obkey returns. */
OBKEY_STATUS_INLINE const char *obkey_status_name(int32_t status) {
#define OBKEY_STATUS_NAME_CASE(name, value, text) \
  case (int32_t)(value):                          \
    return #name;
  switch (status) {
    case 0:
      return "OK";
      OBKEY_ALL_STATUS_LIST(OBKEY_STATUS_NAME_CASE)
    default:
      break;
  }
  switch ((int32_t)((uint32_t)status & 0xFFFF0000u)) {
    OBKEY_P11_CKR_RANGE_LIST(OBKEY_STATUS_NAME_CASE)
    default:
      break;
  }
#undef OBKEY_STATUS_NAME_CASE
  return (const char *)0;
}

/* obkey_status_text is a one-line description of the status ("done" for 0), or null where
 * obkey_status_name is. */
OBKEY_STATUS_INLINE const char *obkey_status_text(int32_t status) {
#define OBKEY_STATUS_TEXT_CASE(name, value, text) \
  case (int32_t)(value):                          \
    return text;
  switch (status) {
    case 0:
      return "done";
      OBKEY_ALL_STATUS_LIST(OBKEY_STATUS_TEXT_CASE)
    default:
      break;
  }
  switch ((int32_t)((uint32_t)status & 0xFFFF0000u)) {
    OBKEY_P11_CKR_RANGE_LIST(OBKEY_STATUS_TEXT_CASE)
    default:
      break;
  }
#undef OBKEY_STATUS_TEXT_CASE
  return (const char *)0;
}

#endif /* OBKEY_STATUS_OBKEY_STATUS_H */

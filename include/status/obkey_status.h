/* obkey_status.h — the statuses a client of obkey may see besides obkey's
 * own (OB_E_*, in obkey_types.h): those of the token library, the PKCS #11
 * token library and the enrollment library, which obkey returns unchanged.
 * Compare a status with these names; obkeyctl prints them from this table.
 *
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
 * Every table is an X-list, X(name, value, short description), for clients
 * that want the names and texts as data. C and C++. */
#ifndef OBKEY_STATUS_OBKEY_STATUS_H
#define OBKEY_STATUS_OBKEY_STATUS_H

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

#endif /* OBKEY_STATUS_OBKEY_STATUS_H */

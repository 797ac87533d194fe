// enrollsim_status.h — every status the VeltaNxoEnrollApi stand-in returns
// besides 0 and the token library's own statuses, which it passes on
// unchanged.
//
// All values are above 0xFFFF and carry the high half 0x5645 ("VE"), apart
// from obkey's own codes and the software token's 0x5843xxxx. enrollsim/README.md
// says when each one is returned.
#ifndef OBKEY_STATUS_ENROLLSIM_STATUS_H
#define OBKEY_STATUS_ENROLLSIM_STATUS_H

#include <stdint.h>

// X(name, value, short description)
#define VEST_STATUS_LIST(X)                                                                     \
  X(VEST_BAD_ARGUMENT, 0x56450001, "null pointer, or a constant other than the documented")     \
  X(VEST_UNSUPPORTED_KEY, 0x56450002, "key specification not 2 or key size not 1024 bits")      \
  X(VEST_NO_DEVICE, 0x56450003, "no usable USBKEY registry value naming the device")            \
  X(VEST_BAD_SUBJECT, 0x56450004, "subject text empty or not a distinguished name")             \
  X(VEST_TOKEN_KEY, 0x56450005, "token public key or signature not of a 1024-bit RSA key")      \
  X(VEST_BAD_PKCS7, 0x56450006, "not a PEM or base64 PKCS #7 bundle with certificates")         \
  X(VEST_NO_MATCHING_CERT, 0x56450007, "no certificate of the bundle holds the signature key")  \
  X(VEST_MISSING_VALUE, 0x56450008, "an answer value is empty or \"-1\"")                       \
  X(VEST_BAD_CERT, 0x56450009, "certKmcRep1 is not base64 of one DER certificate")              \
  X(VEST_KEY_MISMATCH, 0x5645000A, "the encryption certificate does not hold the exchange key") \
  X(VEST_CRYPTO, 0x5645000B, "OpenSSL failed to build or encode the request")                   \
  X(VEST_INTERNAL, 0x5645000C, "unexpected internal failure (out of memory)")

#define VEST_DEFINE_CONSTANT(name, value, text) name = value,
enum VeltaEnrollSimStatus { VEST_STATUS_LIST(VEST_DEFINE_CONSTANT) };
#undef VEST_DEFINE_CONSTANT

#endif  // OBKEY_STATUS_ENROLLSIM_STATUS_H

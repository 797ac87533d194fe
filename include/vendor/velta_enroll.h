// velta_enroll.h — the enrollment library VeltaNxoEnrollApi, as obkey calls
// it. enrollsim/README.md says what the stand-in does with each argument.
//
// Every function uses the C calling convention and returns a 32-bit status,
// 0 for success; obkey passes the status to its caller unchanged.
#ifndef OBKEY_VENDOR_VELTA_ENROLL_H
#define OBKEY_VENDOR_VELTA_ENROLL_H

#include <stdint.h>

#if defined(_WIN32)
#define VEAPI __cdecl
#if defined(VELTA_ENROLL_BUILD)
#define VEEXPORT __declspec(dllexport)
#else
#define VEEXPORT
#endif
#else
#define VEAPI
#define VEEXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// A byte string owned by the caller, laid out as CRYPT_DATA_BLOB: the
// length, then the address.
typedef struct VeBlob {
  uint32_t cbData;
  uint8_t *pbData;
} VeBlob;

// The constants obkey passes.
#define VE_RESERVED 0u                    // createPKCS10 arguments 1 and 5
#define VE_REQUEST_PEM 1u                 // createPKCS10 argument 4: the request comes back as PEM
#define VE_KEY_SPEC_SIGNATURE 2u          // createPKCS10 argument 6: the token's signature key pair
#define VE_KEY_FLAGS_RSA1024 0x04000001u  // createPKCS10 argument 7: bits << 16 | 1
#define VE_PKCS7_TEXT 1u                  // acceptPKCS7 argument 1: PEM or base64 text
#define VE_SEAL_FLAG 1u                   // acceptSeal arguments 9 to 12

// VeltaEnroll_createPKCS10 makes a PKCS #10 request for the token's
// signature key pair, signed by the token, and returns it as PEM text in
// `inout_request`: pbData is the destination and cbData its capacity. When
// pbData is null or the capacity is below the text length plus its
// terminating zero, cbData becomes that needed capacity and nothing is
// written (status 0). On success cbData is the text length, without the
// zero written after it.
VEEXPORT int32_t VEAPI VeltaEnroll_createPKCS10(uint32_t reserved1, const char *subject,
                                                VeBlob *inout_request, uint32_t encoding,
                                                uint32_t reserved5, uint32_t key_spec,
                                                uint32_t key_flags);

// VeltaEnroll_acceptPKCS7 takes a PKCS #7 certificate bundle (PEM, or its
// base64 body) and writes to the token the certificate that belongs to the
// token's signature key pair.
VEEXPORT int32_t VEAPI VeltaEnroll_acceptPKCS7(uint32_t encoding, const char *pkcs7);

// VeltaEnroll_acceptSeal takes the six values of the authority's answer and
// writes the encryption certificate of `cert_kmc_rep1` to the token. The two
// leading values are the caller's own, opaque to obkey.
VEEXPORT int32_t VEAPI VeltaEnroll_acceptSeal(const void *seal_arg1, const void *seal_arg2,
                                              const char *cert_kmc_req1, const char *cert_kmc_req2,
                                              const char *cert_kmc_req3, const char *cert_kmc_rep1,
                                              const char *cert_kmc_rep2, const char *cert_kmc_rep3,
                                              uint32_t flag9, uint32_t flag10, uint32_t flag11,
                                              uint32_t flag12);

#ifdef __cplusplus
}
#endif

#endif  // OBKEY_VENDOR_VELTA_ENROLL_H

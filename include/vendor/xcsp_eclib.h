// xcsp_eclib.h — the token vendor library (XC_ functions), as obkey calls it.
//
// Every function uses the C calling convention and returns a 32-bit status,
// 0 for success. Handles (session, container, user file) are 32-bit values
// owned by the token library; 0 is never a valid handle.
#ifndef OBKEY_VENDOR_XCSP_ECLIB_H
#define OBKEY_VENDOR_XCSP_ECLIB_H

#include <stdint.h>

#if defined(_WIN32)
#define XCAPI __cdecl
#if defined(XCSP_ECLIB_BUILD)
#define XCEXPORT __declspec(dllexport)
#else
#define XCEXPORT
#endif
#else
#define XCAPI
#define XCEXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t XcHandle;

// Key types (key specifications) of the token library.
#define XC_KEY_EXCHANGE 1u
#define XC_KEY_SIGNATURE 2u
// Added to a key type to ask for the signature form of an RSA operation.
#define XC_KEY_SIGN_FLAG 0x100u

// Container slots of XC_SetCurContainer.
#define XC_SLOT_SIGNATURE 0u
#define XC_SLOT_EXCHANGE 1u

// XC_CreateContainer modes.
#define XC_CONTAINER_OPEN 1u
#define XC_CONTAINER_CREATE 2u

// XC_GetContainerParam parameters.
#define XC_CONTAINER_PARAM_NAME 1u   // 48-byte name text
#define XC_CONTAINER_PARAM_FLAGS 2u  // 4-byte key flags word
#define XC_CONTAINER_NAME_SIZE 48u
#define XC_FLAG_EXCHANGE_PAIR 1u
#define XC_FLAG_SIGNATURE_PAIR 2u

// XC_GetEkeyParam parameter whose byte 0 counts the user certificates.
#define XC_EKEY_PARAM_CERT_COUNT 8u
#define XC_EKEY_PARAM_SIZE 200u

// The only PIN type: the user PIN.
#define XC_PIN_USER 2u

// XC_CreateUserFile modes.
#define XC_USER_FILE_CREATE 5u
#define XC_USER_FILE_OPEN 9u

// Raw public key of XC_ReadRSAPubKey: bit length (4), exponent (3), modulus.
#define XC_PUBKEY_MODULUS_OFFSET 7u
#define XC_PUBKEY_SIZE 135u
#define XC_RSA_BLOCK 128u

XCEXPORT int32_t XCAPI XC_ConnectEkey(int32_t device_index, XcHandle *out_session);
XCEXPORT int32_t XCAPI XC_DisconnectEkey(XcHandle session);
XCEXPORT int32_t XCAPI XC_VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len,
                                    uint32_t pin_type);
XCEXPORT int32_t XCAPI XC_ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                                    const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type);
XCEXPORT int32_t XCAPI XC_CreateContainer(XcHandle session, const char *name,
                                          XcHandle *out_container, uint32_t mode);
XCEXPORT int32_t XCAPI XC_SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container);
XCEXPORT int32_t XCAPI XC_GetContainerParam(XcHandle container, uint32_t param, uint8_t *out,
                                            uint32_t *inout_len, uint32_t flags);
XCEXPORT int32_t XCAPI XC_GenRSAKey(XcHandle container, uint32_t key_type);
XCEXPORT int32_t XCAPI XC_RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len,
                                     uint8_t *out, uint32_t *inout_len, uint32_t key_type);
XCEXPORT int32_t XCAPI XC_RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len,
                                     uint8_t *out, uint32_t *inout_len, uint32_t key_type);
XCEXPORT int32_t XCAPI XC_RSASign(XcHandle container, const uint8_t *in, uint32_t in_len,
                                  uint8_t *out, uint32_t *inout_len, uint32_t key_type);
XCEXPORT int32_t XCAPI XC_ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len,
                                        uint32_t key_type);
XCEXPORT int32_t XCAPI XC_WriteRSAKey(XcHandle container, uint32_t reserved1, uint32_t reserved2,
                                      const uint8_t *der, uint32_t der_len, uint32_t key_type);
XCEXPORT int32_t XCAPI XC_GenRandom(XcHandle session, uint8_t *out, uint32_t len);
XCEXPORT int32_t XCAPI XC_WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len,
                                    uint32_t key_spec);
XCEXPORT int32_t XCAPI XC_ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len,
                                   uint32_t key_spec);
XCEXPORT int32_t XCAPI XC_GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out,
                                       uint32_t *inout_len, uint32_t flags);
XCEXPORT int32_t XCAPI XC_CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size,
                                         uint32_t mode, XcHandle *out_file);
XCEXPORT int32_t XCAPI XC_ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len);
XCEXPORT int32_t XCAPI XC_WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len);
XCEXPORT int32_t XCAPI XC_DeleteUserFile(XcHandle file);

#ifdef __cplusplus
}
#endif

#endif  // OBKEY_VENDOR_XCSP_ECLIB_H

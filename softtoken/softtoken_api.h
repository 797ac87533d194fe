// softtoken_api.h — the software token's operations, one for each exported
// function of xcsp_eclib and KeyOperation, with the same arguments. The
// exported C functions (xcsp_exports.cpp, keyoperation_exports.cpp) only
// forward here; tests call these directly. README.md gives every rule and
// status. Each function takes the process-state mutex itself.
#ifndef OBKEY_SOFTTOKEN_SOFTTOKEN_API_H
#define OBKEY_SOFTTOKEN_SOFTTOKEN_API_H

#include <cstdint>

#include "softtoken_status.h"
#include "xcsp_eclib.h"

namespace obkey::softtoken {

// Sessions and token-wide calls (session_api.cpp).
int32_t ConnectEkey(int32_t device_index, XcHandle *out_session);
int32_t DisconnectEkey(XcHandle session);
int32_t GenRandom(XcHandle session, uint8_t *out, uint32_t len);
int32_t GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                     uint32_t flags);

// User PIN (pin_api.cpp) and formatting (format_api.cpp).
int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type);
int32_t ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                  const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type);
int32_t FormatToken(const char *admin_pin, const char *second_text, int32_t device_index);

// Containers (container_api.cpp).
int32_t CreateContainer(XcHandle session, const char *name, XcHandle *out_container, uint32_t mode);
int32_t SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container);
int32_t GetContainerParam(XcHandle container, uint32_t param, uint8_t *out, uint32_t *inout_len,
                          uint32_t flags);

// RSA keys (rsa_api.cpp).
int32_t GenRSAKey(XcHandle container, uint32_t key_type);
int32_t RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type);
int32_t RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type);
int32_t RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                uint32_t *inout_len, uint32_t key_type);
int32_t ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_type);
int32_t WriteRSAKey(XcHandle container, uint32_t reserved1, uint32_t reserved2, const uint8_t *der,
                    uint32_t der_len, uint32_t key_type);

// Certificates (certificate_api.cpp).
int32_t WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len, uint32_t key_spec);
int32_t ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_spec);

// User files (user_file_api.cpp).
int32_t CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size, uint32_t mode,
                       XcHandle *out_file);
int32_t ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len);
int32_t WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len);
int32_t DeleteUserFile(XcHandle file);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_SOFTTOKEN_API_H

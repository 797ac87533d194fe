// p11token_api.h — the token-library functions behind the exports, and the
// handle tables they share. Every function is called with the process lock
// held (os::ProcessStateGuard in the export layer).
#ifndef OBKEY_P11TOKEN_P11TOKEN_API_H
#define OBKEY_P11TOKEN_P11TOKEN_API_H

#include <stdint.h>

#include "objects.h"
#include "token_output.h"
#include "xcsp_eclib.h"

namespace obkey::p11token {

// Handles: nonzero 32-bit ids, unique in the process, valid until the
// disconnect of their session.
//
// SessionOf resolves a session handle; ContainerOf a container handle to its
// session and container slot; FileOf a file handle to its session and file
// number. Each returns P11ST_BAD_HANDLE for 0, an unknown handle or one of
// another kind.
int32_t SessionOf(XcHandle session, Cryptoki *out);
int32_t ContainerOf(XcHandle container, Cryptoki *out, uint32_t *out_slot);
int32_t FileOf(XcHandle file, Cryptoki *out, uint32_t *out_number);

// ContainerHandle / FileHandle return the handle of a container slot or a
// file number in `session`, the same one for the same slot or number.
XcHandle ContainerHandle(XcHandle session, uint32_t slot);
XcHandle FileHandle(XcHandle session, uint32_t number);
// ForgetFileHandles ends every handle, in any session, of file `number` of
// the token `file`'s session is on.
void ForgetFileHandles(XcHandle file, uint32_t number);

// GenerateRandom fills `out` from the token (C_GenerateRandom).
int32_t GenerateRandom(const Cryptoki &c, uint8_t *out, size_t len);

int32_t ConnectEkey(int32_t device_index, XcHandle *out_session);
int32_t DisconnectEkey(XcHandle session);
int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type);
int32_t ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                  const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type);
// ForgetPins forgets which PIN logged in through this process, on every
// slot: a PIN change or a format ends those logins.
void ForgetPins();
int32_t GenRandom(XcHandle session, uint8_t *out, uint32_t len);
int32_t GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                     uint32_t flags);

int32_t CreateContainer(XcHandle session, const char *name, XcHandle *out_container, uint32_t mode);
int32_t SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container);
int32_t GetContainerParam(XcHandle container, uint32_t param, uint8_t *out, uint32_t *inout_len,
                          uint32_t flags);

int32_t GenRSAKey(XcHandle container, uint32_t key_type);
int32_t WriteRSAKey(XcHandle container, const uint8_t *der, uint32_t der_len, uint32_t key_type);
int32_t ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_type);
int32_t RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type);
int32_t RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type);
int32_t RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                uint32_t *inout_len, uint32_t key_type);

int32_t WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len, uint32_t key_spec);
int32_t ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_spec);
// CountCertificates counts the certificates of both containers.
int32_t CountCertificates(const Cryptoki &c, uint32_t *out_count);

int32_t CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size, uint32_t mode,
                       XcHandle *out_file);
int32_t ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len);
int32_t WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len);
int32_t DeleteUserFile(XcHandle file);

// FormatToken: FormatMWKey (KeyOperation).
int32_t FormatToken(const char *admin_pin, const char *second_text, int32_t device_index);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_P11TOKEN_API_H

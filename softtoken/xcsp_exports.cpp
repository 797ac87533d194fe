// The exported functions of xcsp_eclib: each forwards to the software token.
#include "softtoken_api.h"
#include "softtoken_guard.h"
#include "xcsp_eclib.h"

namespace st = obkey::softtoken;

extern "C" {

int32_t XCAPI XC_ConnectEkey(int32_t device_index, XcHandle *out_session) {
  return st::Guarded([&] { return st::ConnectEkey(device_index, out_session); });
}

int32_t XCAPI XC_DisconnectEkey(XcHandle session) {
  return st::Guarded([&] { return st::DisconnectEkey(session); });
}

int32_t XCAPI XC_VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len,
                           uint32_t pin_type) {
  return st::Guarded([&] { return st::VerifyPin(session, pin, pin_len, pin_type); });
}

int32_t XCAPI XC_ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                           const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  return st::Guarded(
      [&] { return st::ChangePin(session, old_pin, old_len, new_pin, new_len, pin_type); });
}

int32_t XCAPI XC_CreateContainer(XcHandle session, const char *name, XcHandle *out_container,
                                 uint32_t mode) {
  return st::Guarded([&] { return st::CreateContainer(session, name, out_container, mode); });
}

int32_t XCAPI XC_SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container) {
  return st::Guarded([&] { return st::SetCurContainer(session, slot, out_container); });
}

int32_t XCAPI XC_GetContainerParam(XcHandle container, uint32_t param, uint8_t *out,
                                   uint32_t *inout_len, uint32_t flags) {
  return st::Guarded(
      [&] { return st::GetContainerParam(container, param, out, inout_len, flags); });
}

int32_t XCAPI XC_GenRSAKey(XcHandle container, uint32_t key_type) {
  return st::Guarded([&] { return st::GenRSAKey(container, key_type); });
}

int32_t XCAPI XC_RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                            uint32_t *inout_len, uint32_t key_type) {
  return st::Guarded(
      [&] { return st::RSAEncrypt(container, in, in_len, out, inout_len, key_type); });
}

int32_t XCAPI XC_RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                            uint32_t *inout_len, uint32_t key_type) {
  return st::Guarded(
      [&] { return st::RSADecrypt(container, in, in_len, out, inout_len, key_type); });
}

int32_t XCAPI XC_RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                         uint32_t *inout_len, uint32_t key_type) {
  return st::Guarded([&] { return st::RSASign(container, in, in_len, out, inout_len, key_type); });
}

int32_t XCAPI XC_ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len,
                               uint32_t key_type) {
  return st::Guarded([&] { return st::ReadRSAPubKey(container, out, inout_len, key_type); });
}

int32_t XCAPI XC_WriteRSAKey(XcHandle container, uint32_t reserved1, uint32_t reserved2,
                             const uint8_t *der, uint32_t der_len, uint32_t key_type) {
  return st::Guarded(
      [&] { return st::WriteRSAKey(container, reserved1, reserved2, der, der_len, key_type); });
}

int32_t XCAPI XC_GenRandom(XcHandle session, uint8_t *out, uint32_t len) {
  return st::Guarded([&] { return st::GenRandom(session, out, len); });
}

int32_t XCAPI XC_WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len,
                           uint32_t key_spec) {
  return st::Guarded([&] { return st::WriteCert(container, cert, cert_len, key_spec); });
}

int32_t XCAPI XC_ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len,
                          uint32_t key_spec) {
  return st::Guarded([&] { return st::ReadCert(container, out, inout_len, key_spec); });
}

int32_t XCAPI XC_GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                              uint32_t flags) {
  return st::Guarded([&] { return st::GetEkeyParam(session, param, out, inout_len, flags); });
}

int32_t XCAPI XC_CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size,
                                uint32_t mode, XcHandle *out_file) {
  return st::Guarded(
      [&] { return st::CreateUserFile(session, file_number, size, mode, out_file); });
}

int32_t XCAPI XC_ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len) {
  return st::Guarded([&] { return st::ReadUserFile(file, out, inout_len); });
}

int32_t XCAPI XC_WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len) {
  return st::Guarded([&] { return st::WriteUserFile(file, data, len); });
}

int32_t XCAPI XC_DeleteUserFile(XcHandle file) {
  return st::Guarded([&] { return st::DeleteUserFile(file); });
}

}  // extern "C"

// The exported functions of xcsp_eclib over a PKCS #11 module: each a guarded
// one-line call into the library proper.
#include "p11token_api.h"
#include "p11token_guard.h"
#include "xcsp_eclib.h"

namespace p11 = obkey::p11token;

extern "C" int32_t XCAPI XC_ConnectEkey(int32_t device_index, XcHandle *out_session) {
  return p11::Guarded([&] { return p11::ConnectEkey(device_index, out_session); });
}

extern "C" int32_t XCAPI XC_DisconnectEkey(XcHandle session) {
  return p11::Guarded([&] { return p11::DisconnectEkey(session); });
}

extern "C" int32_t XCAPI XC_VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len,
                                      uint32_t pin_type) {
  return p11::Guarded([&] { return p11::VerifyPin(session, pin, pin_len, pin_type); });
}

extern "C" int32_t XCAPI XC_ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                                      const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  return p11::Guarded(
      [&] { return p11::ChangePin(session, old_pin, old_len, new_pin, new_len, pin_type); });
}

extern "C" int32_t XCAPI XC_CreateContainer(XcHandle session, const char *name,
                                            XcHandle *out_container, uint32_t mode) {
  return p11::Guarded([&] { return p11::CreateContainer(session, name, out_container, mode); });
}

extern "C" int32_t XCAPI XC_SetCurContainer(XcHandle session, uint32_t slot,
                                            XcHandle *out_container) {
  return p11::Guarded([&] { return p11::SetCurContainer(session, slot, out_container); });
}

extern "C" int32_t XCAPI XC_GetContainerParam(XcHandle container, uint32_t param, uint8_t *out,
                                              uint32_t *inout_len, uint32_t flags) {
  return p11::Guarded(
      [&] { return p11::GetContainerParam(container, param, out, inout_len, flags); });
}

extern "C" int32_t XCAPI XC_GenRSAKey(XcHandle container, uint32_t key_type) {
  return p11::Guarded([&] { return p11::GenRSAKey(container, key_type); });
}

extern "C" int32_t XCAPI XC_RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len,
                                       uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  return p11::Guarded(
      [&] { return p11::RSAEncrypt(container, in, in_len, out, inout_len, key_type); });
}

extern "C" int32_t XCAPI XC_RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len,
                                       uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  return p11::Guarded(
      [&] { return p11::RSADecrypt(container, in, in_len, out, inout_len, key_type); });
}

extern "C" int32_t XCAPI XC_RSASign(XcHandle container, const uint8_t *in, uint32_t in_len,
                                    uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  return p11::Guarded(
      [&] { return p11::RSASign(container, in, in_len, out, inout_len, key_type); });
}

extern "C" int32_t XCAPI XC_ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len,
                                          uint32_t key_type) {
  return p11::Guarded([&] { return p11::ReadRSAPubKey(container, out, inout_len, key_type); });
}

extern "C" int32_t XCAPI XC_WriteRSAKey(XcHandle container, uint32_t /*reserved1*/,
                                        uint32_t /*reserved2*/, const uint8_t *der,
                                        uint32_t der_len, uint32_t key_type) {
  return p11::Guarded([&] { return p11::WriteRSAKey(container, der, der_len, key_type); });
}

extern "C" int32_t XCAPI XC_GenRandom(XcHandle session, uint8_t *out, uint32_t len) {
  return p11::Guarded([&] { return p11::GenRandom(session, out, len); });
}

extern "C" int32_t XCAPI XC_WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len,
                                      uint32_t key_spec) {
  return p11::Guarded([&] { return p11::WriteCert(container, cert, cert_len, key_spec); });
}

extern "C" int32_t XCAPI XC_ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len,
                                     uint32_t key_spec) {
  return p11::Guarded([&] { return p11::ReadCert(container, out, inout_len, key_spec); });
}

extern "C" int32_t XCAPI XC_GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out,
                                         uint32_t *inout_len, uint32_t flags) {
  return p11::Guarded([&] { return p11::GetEkeyParam(session, param, out, inout_len, flags); });
}

extern "C" int32_t XCAPI XC_CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size,
                                           uint32_t mode, XcHandle *out_file) {
  return p11::Guarded(
      [&] { return p11::CreateUserFile(session, file_number, size, mode, out_file); });
}

extern "C" int32_t XCAPI XC_ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len) {
  return p11::Guarded([&] { return p11::ReadUserFile(file, out, inout_len); });
}

extern "C" int32_t XCAPI XC_WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len) {
  return p11::Guarded([&] { return p11::WriteUserFile(file, data, len); });
}

extern "C" int32_t XCAPI XC_DeleteUserFile(XcHandle file) {
  return p11::Guarded([&] { return p11::DeleteUserFile(file); });
}

// Connections, random numbers and the token parameter.
#include <cstring>

#include "connection_reads.h"
#include "devices.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"
#include "session.h"

namespace obkey::p11token {

int32_t GenerateRandom(const Cryptoki &c, uint8_t *out, size_t len) {
  return StatusFromCkr(c.functions->C_GenerateRandom(c.session, out, static_cast<CK_ULONG>(len)));
}

int32_t ConnectEkey(int32_t device_index, XcHandle *out_session) {
  if (out_session == nullptr) return P11ST_BAD_ARGUMENT;
  // A device this process found before is connected to without the lock:
  // a session changes nothing on the token.
  TokenStep step;
  if (int32_t status =
          step.Begin(DeviceKnown(device_index) ? StepKind::kRead : StepKind::kChange)) {
    return status;
  }
  CK_SESSION_HANDLE ck_session = CK_INVALID_HANDLE;
  CK_SLOT_ID slot = 0;
  if (int32_t status = OpenConnection(step.functions(), device_index, &slot, &ck_session)) {
    return status;
  }
  *out_session = AddConnection(step.functions(), slot, ck_session);
  return 0;
}

int32_t DisconnectEkey(XcHandle session) {
  Cryptoki c;
  if (SessionOf(session, &c) != 0) return P11ST_BAD_HANDLE;
  // A session that formatting closed is gone already; there is nothing to
  // report.
  c.functions->C_CloseSession(c.session);
  ForgetConnection(session);
  EndConnectionHandles(session);
  return 0;
}

int32_t GenRandom(XcHandle session, uint8_t *out, uint32_t len) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (len == 0) return 0;
  if (out == nullptr) return P11ST_BAD_ARGUMENT;
  return GenerateRandom(c, out, len);
}

int32_t GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                     uint32_t /*flags*/) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (param != XC_EKEY_PARAM_CERT_COUNT) return P11ST_BAD_PARAM;
  if (int32_t status = ReserveOutput(XC_EKEY_PARAM_SIZE, out, inout_len)) return status;
  uint32_t count = 0;
  if (int32_t status = CountCertificates(c, &count)) return status;
  std::memset(out, 0, XC_EKEY_PARAM_SIZE);
  out[0] = static_cast<uint8_t>(count);
  *inout_len = XC_EKEY_PARAM_SIZE;
  return 0;
}

}  // namespace obkey::p11token

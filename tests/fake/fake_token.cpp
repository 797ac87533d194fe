#include "fake_token.h"

#include <cstring>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hex.h"

namespace {

struct FakeState {
  std::vector<std::string> calls;
  // Each call's function and arguments, beside its line in `calls`.
  std::vector<std::pair<std::string, std::vector<std::string>>> records;
  std::map<std::string, std::deque<int32_t>> statuses;
  std::map<std::string, std::deque<std::vector<uint8_t>>> outputs;
  XcHandle session = 17;
  XcHandle container = 33;
  XcHandle file = 51;
};

FakeState &State() {
  static FakeState state;
  return state;
}

std::string Hex(const uint8_t *data, uint32_t len) {
  return data == nullptr ? std::string("null") : obkey::test::Hex(data, len);
}

std::string Text(const char *text) {
  return text == nullptr ? std::string("null") : "\"" + std::string(text) + "\"";
}

std::string Number(int64_t value) {
  return std::to_string(value);
}

std::string LenIn(const uint32_t *len) {
  return len == nullptr ? "null" : Number(*len);
}

// Records the call and returns its scripted status.
int32_t Record(const std::string &function, const std::vector<std::string> &args) {
  std::string line = function + "(";
  for (size_t i = 0; i < args.size(); ++i) line += (i ? ", " : "") + args[i];
  line += ")";
  FakeState &state = State();
  state.calls.push_back(line);
  state.records.emplace_back(function, args);
  auto &queue = state.statuses[function];
  if (queue.empty()) return 0;
  int32_t status = queue.front();
  queue.pop_front();
  return status;
}

// Writes the next scripted output of `function`, if any, within `*inout_len`.
void WriteOutput(const std::string &function, uint8_t *out, uint32_t *inout_len) {
  auto &queue = State().outputs[function];
  if (queue.empty() || inout_len == nullptr) return;
  std::vector<uint8_t> bytes = queue.front();
  queue.pop_front();
  if (out != nullptr) {
    std::memcpy(out, bytes.data(), bytes.size() < *inout_len ? bytes.size() : *inout_len);
  }
  *inout_len = static_cast<uint32_t>(bytes.size());
}

void StoreHandle(XcHandle *out, XcHandle value) {
  if (out != nullptr) *out = value;
}

}  // namespace

namespace fake {

std::vector<std::string> Calls() {
  return State().calls;
}

std::vector<std::string> CallsOf(const std::string &function) {
  const FakeState &state = State();
  std::vector<std::string> found;
  for (size_t i = 0; i < state.records.size(); ++i) {
    if (state.records[i].first == function) found.push_back(state.calls[i]);
  }
  return found;
}

std::vector<std::string> ArgumentsOf(const std::string &function, size_t nth) {
  for (const auto &record : State().records) {
    if (record.first == function && nth-- == 0) return record.second;
  }
  return {};
}

}  // namespace fake

extern "C" {

void XCAPI FakeToken_Reset(void) {
  State() = FakeState();
}

void XCAPI FakeToken_QueueStatus(const char *function, int32_t status) {
  State().statuses[function].push_back(status);
}

void XCAPI FakeToken_QueueOutput(const char *function, const uint8_t *data, uint32_t len) {
  State().outputs[function].emplace_back(data, data + len);
}

void XCAPI FakeToken_SetHandles(XcHandle session, XcHandle container, XcHandle file) {
  State().session = session;
  State().container = container;
  State().file = file;
}

uint32_t XCAPI FakeToken_Trace(char *out, uint32_t capacity) {
  std::string trace;
  for (const std::string &line : State().calls) trace += line + "\n";
  if (out != nullptr && capacity > 0) {
    size_t n = trace.size() < capacity - 1 ? trace.size() : capacity - 1;
    std::memcpy(out, trace.data(), n);
    out[n] = '\0';
  }
  return static_cast<uint32_t>(trace.size());
}

int32_t XCAPI FakeToken_FormatMWKey(const char *admin_pin, const char *second_text,
                                    int32_t device_index) {
  return Record("FormatMWKey", {Text(admin_pin), Text(second_text), Number(device_index)});
}

int32_t XCAPI XC_ConnectEkey(int32_t device_index, XcHandle *out_session) {
  int32_t status = Record("XC_ConnectEkey", {Number(device_index)});
  if (status == 0) StoreHandle(out_session, State().session);
  return status;
}

int32_t XCAPI XC_DisconnectEkey(XcHandle session) {
  return Record("XC_DisconnectEkey", {Number(session)});
}

int32_t XCAPI XC_VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len,
                           uint32_t pin_type) {
  return Record("XC_VerifyPin",
                {Number(session), Hex(pin, pin_len), Number(pin_len), Number(pin_type)});
}

int32_t XCAPI XC_ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                           const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  return Record("XC_ChangePin", {Number(session), Hex(old_pin, old_len), Number(old_len),
                                 Hex(new_pin, new_len), Number(new_len), Number(pin_type)});
}

int32_t XCAPI XC_CreateContainer(XcHandle session, const char *name, XcHandle *out_container,
                                 uint32_t mode) {
  int32_t status = Record("XC_CreateContainer", {Number(session), Text(name), Number(mode)});
  if (status == 0) StoreHandle(out_container, State().container);
  return status;
}

int32_t XCAPI XC_SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container) {
  int32_t status = Record("XC_SetCurContainer", {Number(session), Number(slot)});
  if (status == 0) StoreHandle(out_container, State().container);
  return status;
}

int32_t XCAPI XC_GetContainerParam(XcHandle container, uint32_t param, uint8_t *out,
                                   uint32_t *inout_len, uint32_t flags) {
  int32_t status = Record("XC_GetContainerParam",
                          {Number(container), Number(param), LenIn(inout_len), Number(flags)});
  if (status == 0) WriteOutput("XC_GetContainerParam", out, inout_len);
  return status;
}

int32_t XCAPI XC_GenRSAKey(XcHandle container, uint32_t key_type) {
  return Record("XC_GenRSAKey", {Number(container), Number(key_type)});
}

namespace {

int32_t RsaCall(const char *function, XcHandle container, const uint8_t *in, uint32_t in_len,
                uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  int32_t status = Record(function, {Number(container), Hex(in, in_len), Number(in_len),
                                     LenIn(inout_len), Number(key_type)});
  if (status == 0) WriteOutput(function, out, inout_len);
  return status;
}

}  // namespace

int32_t XCAPI XC_RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                            uint32_t *inout_len, uint32_t key_type) {
  return RsaCall("XC_RSAEncrypt", container, in, in_len, out, inout_len, key_type);
}

int32_t XCAPI XC_RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                            uint32_t *inout_len, uint32_t key_type) {
  return RsaCall("XC_RSADecrypt", container, in, in_len, out, inout_len, key_type);
}

int32_t XCAPI XC_RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                         uint32_t *inout_len, uint32_t key_type) {
  return RsaCall("XC_RSASign", container, in, in_len, out, inout_len, key_type);
}

int32_t XCAPI XC_ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len,
                               uint32_t key_type) {
  int32_t status =
      Record("XC_ReadRSAPubKey", {Number(container), LenIn(inout_len), Number(key_type)});
  if (status == 0) WriteOutput("XC_ReadRSAPubKey", out, inout_len);
  return status;
}

int32_t XCAPI XC_WriteRSAKey(XcHandle container, uint32_t reserved1, uint32_t reserved2,
                             const uint8_t *der, uint32_t der_len, uint32_t key_type) {
  return Record("XC_WriteRSAKey", {Number(container), Number(reserved1), Number(reserved2),
                                   Hex(der, der_len), Number(der_len), Number(key_type)});
}

int32_t XCAPI XC_GenRandom(XcHandle session, uint8_t *out, uint32_t len) {
  int32_t status = Record("XC_GenRandom", {Number(session), Number(len)});
  uint32_t written = len;
  if (status == 0) WriteOutput("XC_GenRandom", out, &written);
  return status;
}

int32_t XCAPI XC_WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len,
                           uint32_t key_spec) {
  return Record("XC_WriteCert",
                {Number(container), Hex(cert, cert_len), Number(cert_len), Number(key_spec)});
}

int32_t XCAPI XC_ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len,
                          uint32_t key_spec) {
  int32_t status = Record("XC_ReadCert", {Number(container), LenIn(inout_len), Number(key_spec)});
  if (status == 0) WriteOutput("XC_ReadCert", out, inout_len);
  return status;
}

int32_t XCAPI XC_GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                              uint32_t flags) {
  int32_t status =
      Record("XC_GetEkeyParam", {Number(session), Number(param), LenIn(inout_len), Number(flags)});
  if (status == 0) WriteOutput("XC_GetEkeyParam", out, inout_len);
  return status;
}

int32_t XCAPI XC_CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size,
                                uint32_t mode, XcHandle *out_file) {
  int32_t status = Record("XC_CreateUserFile",
                          {Number(session), Number(file_number), Number(size), Number(mode)});
  if (status == 0) StoreHandle(out_file, State().file);
  return status;
}

int32_t XCAPI XC_ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len) {
  int32_t status = Record("XC_ReadUserFile", {Number(file), LenIn(inout_len)});
  if (status == 0) WriteOutput("XC_ReadUserFile", out, inout_len);
  return status;
}

int32_t XCAPI XC_WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len) {
  return Record("XC_WriteUserFile", {Number(file), Hex(data, len), Number(len)});
}

int32_t XCAPI XC_DeleteUserFile(XcHandle file) {
  return Record("XC_DeleteUserFile", {Number(file)});
}

}  // extern "C"

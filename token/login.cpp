#include "login.h"

#include <cstdio>
#include <cstring>

#include "key_operation.h"
#include "log_text.h"
#include "token_session.h"
#include "xcsp_eclib.h"

namespace obkey {

int32_t Login(uint32_t user_type, const char *pin) {
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  if (user_type != kUserTypeUser || pin == nullptr) return OB_E_ARGUMENT;
  return XC_VerifyPin(session.handle(), reinterpret_cast<const uint8_t *>(pin),
                      static_cast<uint32_t>(std::strlen(pin)), XC_PIN_USER);
}

int32_t FormatToken(int32_t device_index) {
  LogText("     OBCA_Format FormatMWKey S\n");
  int32_t status = FormatMWKey(kFormatText, kFormatText, device_index);
  LogText("     OBCA_Format FormatMWKey E\n");
  return status;
}

namespace {

bool IsReadablePin(const DataBlob *pin) {
  return pin != nullptr && (pin->pbData != nullptr || pin->cbData == 0);
}

// Selects the container of `slot` and prints its handle and, when the
// selection succeeded, its name.
void PrintContainer(XcHandle session, uint32_t slot) {
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session, slot, &container);
  std::printf("hContainer %u =%d\n", slot, static_cast<int32_t>(container));
  if (status != 0) return;
  char name[XC_CONTAINER_NAME_SIZE] = {};
  uint32_t name_len = sizeof(name);
  XC_GetContainerParam(container, XC_CONTAINER_PARAM_NAME, reinterpret_cast<uint8_t *>(name),
                       &name_len, 0);
  // A name that fills the buffer has no terminator: print the buffer at most.
  std::printf("XC_GetContainerParam %u name=%.*s\n", slot, static_cast<int>(sizeof(name)), name);
}

}  // namespace

int32_t ChangeUserPin(const DataBlob *old_pin, const DataBlob *new_pin) {
  if (!IsReadablePin(old_pin) || !IsReadablePin(new_pin)) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  return XC_ChangePin(session.handle(), old_pin->pbData, old_pin->cbData, new_pin->pbData,
                      new_pin->cbData, XC_PIN_USER);
}

int32_t PrintContainerNames() {
  TokenSession session;
  if (!session.is_open()) {
    session.Close();
    std::printf("No key connected.\n");
    return session.open_status();
  }
  PrintContainer(session.handle(), XC_SLOT_EXCHANGE);
  PrintContainer(session.handle(), XC_SLOT_SIGNATURE);
  std::fflush(stdout);
  return OB_OK;
}

}  // namespace obkey

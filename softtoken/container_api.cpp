#include <cstring>

#include "api_common.h"
#include "softtoken_api.h"
#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

// A name with "SIG" names the signature container, any other the exchange one.
size_t SlotForName(const std::string &name) {
  return name.find("SIG") != std::string::npos ? XC_SLOT_SIGNATURE : XC_SLOT_EXCHANGE;
}

uint32_t KeyFlags(const Container &container) {
  uint32_t flags = 0;
  if (container.keys[XC_KEY_EXCHANGE - 1].HasKey()) flags |= XC_FLAG_EXCHANGE_PAIR;
  if (container.keys[XC_KEY_SIGNATURE - 1].HasKey()) flags |= XC_FLAG_SIGNATURE_PAIR;
  return flags;
}

int32_t CreateInSlot(Session *s, const std::string &name, size_t *out_slot) {
  size_t slot = SlotForName(name);
  if (s->state->containers[slot].present) return XCST_CONTAINER_EXISTS;
  int32_t status = StageChange(s, [&](TokenState &next) {
    Container &c = next.containers[slot];
    c = Container{};
    c.present = true;
    c.name = name;
    return 0;
  });
  if (status == 0) *out_slot = slot;
  return status;
}

int32_t OpenByName(const Session &s, const std::string &name, size_t *out_slot) {
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    const Container &c = s.state->containers[slot];
    if (c.present && c.name == name) {
      *out_slot = slot;
      return 0;
    }
  }
  return XCST_CONTAINER_NOT_FOUND;
}

}  // namespace

int32_t CreateContainer(XcHandle session, const char *name, XcHandle *out_container,
                        uint32_t mode) {
  SessionCall call(session);
  if (int32_t status = call.status()) return status;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (name == nullptr || out_container == nullptr) return XCST_BAD_ARGUMENT;
  // Bounded scan: a name may lack its terminator within any sane length.
  size_t name_len = strnlen(name, kMaxContainerName + 1);
  if (name_len == 0 || name_len > kMaxContainerName) return XCST_BAD_CONTAINER_NAME;
  std::string container_name(name, name_len);
  size_t slot = 0;
  int32_t status = XCST_BAD_MODE;
  if (mode == XC_CONTAINER_CREATE) status = CreateInSlot(s, container_name, &slot);
  if (mode == XC_CONTAINER_OPEN) status = OpenByName(*s, container_name, &slot);
  if (status != 0) return status;
  *out_container = ContainerHandle(session, slot);
  return 0;
}

int32_t SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container) {
  SessionCall call(session);
  if (int32_t status = call.status()) return status;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (out_container == nullptr) return XCST_BAD_ARGUMENT;
  if (slot >= kContainerSlots) return XCST_BAD_SLOT;
  if (!s->state->containers[slot].present) return XCST_CONTAINER_NOT_FOUND;
  *out_container = ContainerHandle(session, slot);
  return 0;
}

int32_t GetContainerParam(XcHandle container, uint32_t param, uint8_t *out, uint32_t *inout_len,
                          uint32_t /*flags*/) {
  SessionCall call(container);
  if (int32_t status = call.status()) return status;
  size_t slot = 0;
  Session *s = FindContainer(container, &slot);
  if (s == nullptr) return XCST_BAD_HANDLE;
  const Container &c = s->state->containers[slot];
  if (param == XC_CONTAINER_PARAM_NAME) {
    if (int32_t status = ReserveOutput(XC_CONTAINER_NAME_SIZE, out, inout_len)) return status;
    std::memset(out, 0, XC_CONTAINER_NAME_SIZE);
    std::memcpy(out, c.name.data(), c.name.size());
    *inout_len = XC_CONTAINER_NAME_SIZE;
    return 0;
  }
  if (param == XC_CONTAINER_PARAM_FLAGS) {
    if (int32_t status = ReserveOutput(sizeof(uint32_t), out, inout_len)) return status;
    uint32_t flags = KeyFlags(c);
    std::memcpy(out, &flags, sizeof(flags));
    *inout_len = sizeof(flags);
    return 0;
  }
  return XCST_BAD_PARAM;
}

}  // namespace obkey::softtoken

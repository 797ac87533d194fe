// Containers: the two slots kept in the container directory, and the
// parameters obkey reads.
#include <cstring>

#include "api_common.h"
#include "connection_reads.h"
#include "container_directory.h"
#include "key_cache.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"

namespace obkey::p11token {

int32_t CreateContainer(XcHandle session, const char *name, XcHandle *out_container,
                        uint32_t mode) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (name == nullptr || out_container == nullptr) return P11ST_BAD_ARGUMENT;
  if (mode != XC_CONTAINER_OPEN && mode != XC_CONTAINER_CREATE) return P11ST_BAD_MODE;
  size_t name_len = std::strlen(name);
  if (name_len == 0 || name_len > kMaxContainerName) return P11ST_BAD_CONTAINER_NAME;
  const std::string created_name = std::string("container ") + name;
  ContainerNames names;
  int32_t status = ReadContainerNames(c, &names);
  uint32_t slot = 0;
  if (mode == XC_CONTAINER_CREATE) {
    slot = std::strstr(name, "SIG") != nullptr ? XC_SLOT_SIGNATURE : XC_SLOT_EXCHANGE;
    if (status == 0 && !names[slot].empty()) {
      status = P11ST_CONTAINER_EXISTS;
    } else if (status == 0) {
      names[slot] = name;
      status = WriteContainerNames(c, names);
    }
    // A slot that is taken is an answer, not a refusal: the open that
    // follows says whether it holds this name.
    RememberFailedCreate(c, created_name, status == P11ST_CONTAINER_EXISTS ? 0 : status);
  } else {
    while (status == 0 && slot < kContainerSlots && names[slot] != name) ++slot;
    if (status == 0 && slot == kContainerSlots) status = P11ST_CONTAINER_NOT_FOUND;
    status = OpenAfterFailedCreate(c, created_name, status);
  }
  if (status != 0) return status;
  *out_container = ContainerHandle(session, slot);
  return 0;
}

int32_t SetCurContainer(XcHandle session, uint32_t slot, XcHandle *out_container) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (out_container == nullptr) return P11ST_BAD_ARGUMENT;
  if (slot >= kContainerSlots) return P11ST_BAD_SLOT;
  ContainerNames names;
  if (int32_t status = ReadContainerNames(c, &names)) return status;
  if (names[slot].empty()) return P11ST_CONTAINER_NOT_FOUND;
  *out_container = ContainerHandle(session, slot);
  return 0;
}

int32_t GetContainerParam(XcHandle container, uint32_t param, uint8_t *out, uint32_t *inout_len,
                          uint32_t /*flags*/) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, XC_KEY_EXCHANGE, Login::kNotNeeded, &key)) {
    return status;
  }
  const std::string &name = key.name;
  if (param == XC_CONTAINER_PARAM_NAME) {
    if (int32_t status = ReserveOutput(XC_CONTAINER_NAME_SIZE, out, inout_len)) return status;
    std::memset(out, 0, XC_CONTAINER_NAME_SIZE);
    std::memcpy(out, name.data(), name.size());
    *inout_len = XC_CONTAINER_NAME_SIZE;
    return 0;
  }
  if (param != XC_CONTAINER_PARAM_FLAGS) return P11ST_BAD_PARAM;
  if (int32_t status = ReserveOutput(sizeof(uint32_t), out, inout_len)) return status;
  // A pair is present when its public half is: the private half is hidden
  // from a session without the login.
  uint32_t flags = 0;
  for (uint32_t key_type : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
    bool present = false;
    if (int32_t status = PublicKeyPresent(key.c, KeyLabel(name, key_type), &present)) {
      return status;
    }
    if (present) {
      flags |= key_type == XC_KEY_EXCHANGE ? XC_FLAG_EXCHANGE_PAIR : XC_FLAG_SIGNATURE_PAIR;
    }
  }
  std::memcpy(out, &flags, sizeof(flags));
  *inout_len = sizeof(flags);
  return 0;
}

}  // namespace obkey::p11token

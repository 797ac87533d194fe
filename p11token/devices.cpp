// Devices: which slot a device is, and the session kept open on it.
#include "devices.h"

#include <map>

#include "module.h"
#include "p11token_os.h"
#include "p11token_status.h"
#include "session.h"

namespace obkey::p11token {

namespace {

// The session kept open on each slot.
std::map<CK_SLOT_ID, CK_SESSION_HANDLE> keep_open_sessions;
// What a connection needs to know of the module, learned once per
// initialisation (ModuleGeneration): the device's slot, known to hold an
// initialised token, and the kept session checked, with the objects'
// generation (ObjectsGeneration) it was last checked at.
struct KnownDevices {
  uint64_t generation = 0;
  std::map<int32_t, CK_SLOT_ID> slots;
  std::map<CK_SLOT_ID, uint64_t> kept_checked;
} known;

// KeepSlotOpen makes sure the slot's kept session is open. Formatting closes
// every session of the slot, and the module may then reuse the number. With
// the tables lock held.
int32_t KeepSlotOpen(CK_FUNCTION_LIST *f, CK_SLOT_ID slot) {
  if (known.generation != ModuleGeneration()) known = KnownDevices{ModuleGeneration(), {}, {}};
  auto it = keep_open_sessions.find(slot);
  if (it != keep_open_sessions.end()) {
    CK_SESSION_INFO info{};
    if (!IsConnectionSession(it->second) && f->C_GetSessionInfo(it->second, &info) == CKR_OK &&
        info.slotID == slot) {
      return 0;
    }
    keep_open_sessions.erase(it);
  }
  CK_SESSION_HANDLE kept = CK_INVALID_HANDLE;
  CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &kept);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  keep_open_sessions[slot] = kept;
  return 0;
}

// LearnDevice finds the device's slot, which must hold an initialised
// token, and keeps a session open on it; once per module initialisation.
int32_t LearnDevice(CK_FUNCTION_LIST *f, int32_t device_index, CK_SLOT_ID *out_slot) {
  os::TablesGuard tables;
  if (known.generation != ModuleGeneration()) known = KnownDevices{ModuleGeneration(), {}, {}};
  if (int32_t status = FindDeviceSlot(f, device_index, out_slot)) return status;
  // A token never formatted is no token yet, as a missing store is for
  // the software token.
  if (!TokenInitialized(f, *out_slot)) return P11ST_NO_TOKEN;
  uint64_t objects_generation = ObjectsGeneration();
  if (int32_t status = KeepSlotOpen(f, *out_slot)) return status;
  known.slots[device_index] = *out_slot;
  known.kept_checked[*out_slot] = objects_generation;
  return 0;
}

// CheckKeptSession makes sure the slot's kept session is still open once
// anything changed since it was last checked. A format by the formatting
// library, which obkey loads beside this one and which keeps tables of its
// own, closes every session of the slot, the kept one too, and says so only
// by moving the change counter: without a kept session the next login would
// end with its connection.
int32_t CheckKeptSession(CK_FUNCTION_LIST *f, CK_SLOT_ID slot) {
  uint64_t objects_generation = ObjectsGeneration();
  os::TablesGuard tables;
  auto checked = known.kept_checked.find(slot);
  if (checked != known.kept_checked.end() && checked->second == objects_generation) return 0;
  if (int32_t status = KeepSlotOpen(f, slot)) return status;
  known.kept_checked[slot] = objects_generation;
  return 0;
}

bool KnownSlot(int32_t device_index, CK_SLOT_ID *out_slot) {
  os::TablesGuard tables;
  if (known.generation != ModuleGeneration()) return false;
  auto it = known.slots.find(device_index);
  if (it == known.slots.end()) return false;
  *out_slot = it->second;
  return true;
}

}  // namespace

bool TokenFlag(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, CK_FLAGS flag) {
  CK_TOKEN_INFO info{};
  return f->C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & flag) != 0;
}

bool TokenInitialized(CK_FUNCTION_LIST *f, CK_SLOT_ID slot) {
  return TokenFlag(f, slot, CKF_TOKEN_INITIALIZED);
}

std::set<CK_SLOT_ID> InitializedSlots(CK_FUNCTION_LIST *f) {
  std::set<CK_SLOT_ID> initialized;
  for (int32_t index = 0;; ++index) {
    CK_SLOT_ID slot = 0;
    if (FindDeviceSlot(f, index, &slot) != 0) break;
    if (TokenInitialized(f, slot)) initialized.insert(slot);
  }
  return initialized;
}

int32_t OpenConnection(CK_FUNCTION_LIST *f, int32_t device_index, CK_SLOT_ID *out_slot,
                       CK_SESSION_HANDLE *out_session) {
  bool was_known = KnownSlot(device_index, out_slot);
  if (!was_known) {
    if (int32_t status = LearnDevice(f, device_index, out_slot)) return status;
  } else if (int32_t status = CheckKeptSession(f, *out_slot)) {
    return status;
  }
  CK_RV rv = f->C_OpenSession(*out_slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                              out_session);
  // A token gone or renumbered since: learn the device again, once.
  if (rv != CKR_OK && was_known) {
    {
      os::TablesGuard tables;
      known.slots.erase(device_index);
    }
    return OpenConnection(f, device_index, out_slot, out_session);
  }
  return StatusFromCkr(rv);
}

bool DeviceKnown(int32_t device_index) {
  CK_SLOT_ID slot = 0;
  return KnownSlot(device_index, &slot);
}

}  // namespace obkey::p11token

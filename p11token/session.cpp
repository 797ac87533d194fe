// The handle table: connections, and the containers and files they opened.
#include "session.h"

#include <algorithm>
#include <map>

#include "module.h"
#include "p11token_api.h"
#include "p11token_os.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

enum class Kind { kSession, kContainer, kFile };

struct Entry {
  Kind kind = Kind::kSession;
  XcHandle session = 0;  // the session a container or file belongs to
  CK_SLOT_ID slot_id = 0;
  CK_SESSION_HANDLE ck_session = CK_INVALID_HANDLE;
  uint32_t number = 0;  // container slot or file number
};

// The tables below are used under the tables lock (os::TablesGuard).
CK_FUNCTION_LIST *module_functions = nullptr;
std::map<XcHandle, Entry> handles;
XcHandle last_handle = 0;

// NewHandle adds `entry` (a session's entry, of its own session, when its
// session is 0), with the tables lock held.
XcHandle NewHandle(const Entry &entry) {
  do {
    ++last_handle;
  } while (last_handle == 0 || handles.count(last_handle) != 0);
  Entry &added = handles[last_handle];
  added = entry;
  if (added.session == 0) added.session = last_handle;
  return last_handle;
}

// Find copies the entry of `handle`, which must be of `kind`, and holds its
// connection's lock for the rest of the step.
bool Find(XcHandle handle, Kind kind, Entry *out) {
  {
    os::TablesGuard tables;
    auto it = handles.find(handle);
    if (handle == 0 || it == handles.end() || it->second.kind != kind) return false;
    *out = it->second;
  }
  os::ProcessStateGuard::HoldConnection(out->session);
  return true;
}

XcHandle ChildHandle(XcHandle session, Kind kind, uint32_t number) {
  os::TablesGuard tables;
  for (const auto &[handle, entry] : handles) {
    if (entry.kind == kind && entry.session == session && entry.number == number) return handle;
  }
  Entry parent = handles.at(session);
  parent.kind = kind;
  parent.session = session;
  parent.number = number;
  return NewHandle(parent);
}

// CryptokiOf is the PKCS #11 session of the connection of `entry`.
Cryptoki CryptokiOf(const Entry &entry) {
  os::TablesGuard tables;
  return Cryptoki{module_functions, entry.ck_session, entry.slot_id, entry.session};
}

}  // namespace

XcHandle AddConnection(CK_FUNCTION_LIST *functions, CK_SLOT_ID slot, CK_SESSION_HANDLE ck_session) {
  Entry entry;
  entry.slot_id = slot;
  entry.ck_session = ck_session;
  os::TablesGuard tables;
  module_functions = functions;
  return NewHandle(entry);
}

void EndConnectionHandles(XcHandle session) {
  os::TablesGuard tables;
  for (auto it = handles.begin(); it != handles.end();) {
    it = it->second.session == session ? handles.erase(it) : std::next(it);
  }
}

bool IsConnectionSession(CK_SESSION_HANDLE ck_session) {
  return std::any_of(handles.begin(), handles.end(), [&](const auto &item) {
    return item.second.kind == Kind::kSession && item.second.ck_session == ck_session;
  });
}

int32_t SessionOf(XcHandle session, Cryptoki *out) {
  Entry entry;
  if (!Find(session, Kind::kSession, &entry)) return P11ST_BAD_HANDLE;
  *out = CryptokiOf(entry);
  return 0;
}

int32_t ContainerOf(XcHandle container, Cryptoki *out, uint32_t *out_slot) {
  Entry entry;
  if (!Find(container, Kind::kContainer, &entry)) return P11ST_BAD_HANDLE;
  *out = CryptokiOf(entry);
  *out_slot = entry.number;
  return 0;
}

int32_t FileOf(XcHandle file, Cryptoki *out, uint32_t *out_number) {
  Entry entry;
  if (!Find(file, Kind::kFile, &entry)) return P11ST_BAD_HANDLE;
  *out = CryptokiOf(entry);
  *out_number = entry.number;
  return 0;
}

XcHandle ContainerHandle(XcHandle session, uint32_t slot) {
  return ChildHandle(session, Kind::kContainer, slot);
}

XcHandle FileHandle(XcHandle session, uint32_t number) {
  return ChildHandle(session, Kind::kFile, number);
}

void ForgetFileHandles(XcHandle file, uint32_t number) {
  Entry entry;
  if (!Find(file, Kind::kFile, &entry)) return;
  CK_SLOT_ID slot = entry.slot_id;
  os::TablesGuard tables;
  for (auto it = handles.begin(); it != handles.end();) {
    bool same_file =
        it->second.kind == Kind::kFile && it->second.slot_id == slot && it->second.number == number;
    it = same_file ? handles.erase(it) : std::next(it);
  }
}

}  // namespace obkey::p11token

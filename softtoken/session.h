// session.h — open sessions and the handles that name them, their
// containers and their user files. Handles are nonzero 32-bit ids, unique
// in the process, valid until the session is disconnected. All functions
// here expect the caller to hold the process-state mutex.
#ifndef OBKEY_SOFTTOKEN_SESSION_H
#define OBKEY_SOFTTOKEN_SESSION_H

#include <cstdint>
#include <memory>

#include "softtoken/store_file.h"
#include "softtoken/token_state.h"
#include "token/xcsp_eclib.h"

namespace obkey::softtoken {

// Session is one connected token: its lock, held for the session's life, and
// the store contents as last read or written, with their stamp.
struct Session {
  StorePaths paths;
  StoreLock lock;
  std::shared_ptr<const TokenState> state;
  StoreStamp stamp;
};

// RegisterSession takes ownership of an open session and returns its handle.
XcHandle RegisterSession(std::unique_ptr<Session> session);

// UnregisterSession removes a session and every handle derived from it and
// returns it (null for an unknown handle); destroying it releases the lock.
std::unique_ptr<Session> UnregisterSession(XcHandle session_handle);

// FindSession returns the session of a handle, or null.
Session *FindSession(XcHandle session_handle);

// ContainerHandle returns the handle of a slot of a session (the same handle
// each time). FindContainer resolves one; returns null for unknown handles.
XcHandle ContainerHandle(XcHandle session_handle, size_t slot);
Session *FindContainer(XcHandle container_handle, size_t *out_slot);

// The same for user files, named by their number.
XcHandle UserFileHandle(XcHandle session_handle, uint32_t file_number);
Session *FindUserFile(XcHandle file_handle, uint32_t *out_file_number);
// ForgetUserFileHandles ends `file_handle` and every other handle of the same
// file in its session (after the file is deleted).
void ForgetUserFileHandles(XcHandle file_handle);

// CommitChange applies `change` to a copy of the session's state and, when it
// returns 0, writes that copy to the store and adopts it. A failing change or
// write leaves both the store and the session's state as they were.
template <typename Change>
int32_t CommitChange(Session *session, Change change) {
  TokenState next = *session->state;
  if (int32_t status = change(next)) return status;
  StoreStamp stamp;
  if (int32_t status = SaveStore(session->paths, next, session->stamp, &stamp)) return status;
  session->state = std::make_shared<const TokenState>(std::move(next));
  session->stamp = stamp;
  return 0;
}

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_SESSION_H

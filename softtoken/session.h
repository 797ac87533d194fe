// session.h — open sessions and the handles that name them, their
// containers and their user files. Handles are nonzero 32-bit ids, unique
// in the process, valid until the session is disconnected. All functions
// here expect the caller to hold the process-state mutex.
//
// The rules of the store lock, the process mutex and the snapshot:
//
// 1. The process mutex guards the handle tables and every field of every
//    Session. A call on a handle holds it from its start to its end
//    (SessionCall), and lets it go only to wait for the store lock or to
//    compute (an RSA operation, a prime search, a PIN derivation), after
//    which it starts again from the tables: the session may be gone.
// 2. A session's snapshot (`committed`, `stamp`) is the store as read under
//    the store lock. While the session holds the lock nobody else can
//    change the store, so the snapshot is the store.
// 3. A change is staged (StageChange) only while the session holds the
//    lock, and a session with a staged change (`changed`) keeps the lock to
//    its commit: `changed` implies the lock is held. So the store a change
//    was made to is still the store when it is committed.
// 4. A session with nothing staged may let the lock go while it computes
//    (LetLockGoWhileComputing). The next call of any of its threads takes
//    it back before it reads or changes anything (SessionCall) and, when
//    another process committed meanwhile, replaces the snapshot with the
//    newer store (TakeLockBack); the snapshot is replaced only then, with
//    nothing staged.
// 5. Taking the lock back happens without the process mutex. Another thread
//    of the same session may let it go again before this call gets the
//    mutex back, so SessionCall checks again, under the mutex, that the lock
//    is held, and waits again when it is not: a call never goes on without
//    the lock.
// StageChange and TakeInNewerStore check rules 3 and 4 where they act and
// refuse (XCST_INTERNAL) rather than break them.
#ifndef OBKEY_SOFTTOKEN_SESSION_H
#define OBKEY_SOFTTOKEN_SESSION_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "softtoken_os.h"
#include "softtoken_status.h"
#include "store_file.h"
#include "token_state.h"
#include "xcsp_eclib.h"

namespace obkey::softtoken {

// Session is one connected token: its lock, the store contents as last
// read or committed (`committed`, with their stamp) and the contents the
// session's calls see, its own changes included (`state`). A session holds
// the lock from its connect; with nothing staged it lets the lock go while
// it computes, and its next call takes it back and takes in what other
// processes committed meanwhile (SessionCall). A session with staged
// changes keeps the lock to its commit, at disconnect.
struct Session {
  StorePaths paths;
  StoreLock lock;
  std::shared_ptr<const TokenState> committed;
  StoreStamp stamp;
  std::shared_ptr<const TokenState> state;
  bool changed = false;
  // User files this session deleted, with their contents, so that a failed
  // re-creation can put them back (see CreateUserFile).
  std::map<uint32_t, std::vector<uint8_t>> deleted_files;
  // Held by the one thread that takes the session's lock back, so that two
  // threads of one session do not wait for each other's lock.
  std::shared_ptr<os::Mutex> taking_lock = std::make_shared<os::Mutex>();
  // The process that connected: a forked child never uses its parent's
  // sessions (nor their lock, closed in the child at the fork).
  uint64_t process = os::ProcessId();
};

// RegisterSession takes ownership of an open session and returns its handle.
XcHandle RegisterSession(std::unique_ptr<Session> session);

// UnregisterSession removes a session and every handle derived from it and
// returns it (null for an unknown handle, and for a session a forked child
// inherited, which goes without a commit); destroying it releases the lock.
std::unique_ptr<Session> UnregisterSession(XcHandle session_handle);

// FindSession returns the session of a handle, or null (also for a session
// a forked child inherited from its parent).
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

// StageChange applies `change` to a copy of the session's state and, when
// it returns 0, adopts that copy; the store is written at disconnect
// (CommitSession). A failing change leaves the state as it was; earlier
// changes of the session stay. XCST_INTERNAL when the session does not
// hold the lock (a fault of the caller: see the rules above).
template <typename Change>
int32_t StageChange(Session *session, Change change) {
  // Rule 3: a change staged without the lock could be dropped by the next
  // snapshot, or committed over a store it was not made to.
  if (!session->lock.Held()) return XCST_INTERNAL;
  TokenState next = *session->state;
  if (int32_t status = change(next)) return status;
  session->state = std::make_shared<const TokenState>(std::move(next));
  session->changed = true;
  return 0;
}

// LetLockGoWhileComputing lets a session that has staged nothing give up
// the store's lock before an RSA operation or a key's prime search, so that
// the operations of several processes on one token run at once. A session
// with staged changes keeps the lock to its commit.
void LetLockGoWhileComputing(Session *session);

// TakeLockBack makes the session of `handle` (a session, container or
// user-file handle) hold the store's lock: a session without it waits for
// it here, outside the process mutex, and, when another process committed
// meanwhile, takes in the newer store. Its container handles whose slot now
// holds another container, or none, end then. Returns 0 (also for a handle
// that names no session: the call reports that), XCST_TOKEN_BUSY,
// XCST_STORE_IO or the newer store's fault.
int32_t TakeLockBack(XcHandle handle);

// SessionCall holds the process mutex from the start of a call on a handle
// to its end. A session without its lock takes it back first (TakeLockBack),
// the mutex let go meanwhile, until it finds the lock held under the mutex
// (rule 5); one that holds it costs no more than the mutex. On a nonzero
// status() the mutex is held and the lock may not be.
class SessionCall {
 public:
  explicit SessionCall(XcHandle handle);
  ~SessionCall() { os::UnlockProcessState(); }
  SessionCall(const SessionCall &) = delete;
  SessionCall &operator=(const SessionCall &) = delete;
  int32_t status() const { return status_; }

 private:
  int32_t status_ = 0;
};

// SetLockTakenBackHookForTesting installs a function that SessionCall calls
// after it took its session's lock back and before it takes the process
// mutex again (null removes it). Tests use it to run another thread's call
// in that gap.
void SetLockTakenBackHookForTesting(void (*hook)());

// CommitPinTries writes the committed store with the user PIN's retry
// counter set to `tries_left`, at once and apart from the session's other
// changes, and sets the counter of the session's state too. Returns 0 or
// SaveStore's failure (XCST_STORE_IO, XCST_DISK_FULL...).
int32_t CommitPinTries(Session *session, uint8_t tries_left);

// CommitSession writes the session's changes, if any, to the store as one
// replacement. Returns 0 or SaveStore's failure (XCST_STORE_IO,
// XCST_DISK_FULL...).
int32_t CommitSession(Session *session);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_SESSION_H

#include "session.h"

#include <map>

namespace obkey::softtoken {

namespace {

// What a container or user-file handle refers to within its session.
struct Target {
  XcHandle session;
  uint32_t index;  // container slot or user-file number
  bool operator<(const Target &other) const {
    return session != other.session ? session < other.session : index < other.index;
  }
};

struct HandleTables {
  // Ids start well above small integers so that a stray 1 or 2 is never a
  // valid handle by accident.
  XcHandle next_id = 0x1000;
  std::map<XcHandle, std::unique_ptr<Session>> sessions;
  std::map<XcHandle, Target> containers;
  std::map<XcHandle, Target> files;
};

HandleTables &Tables() {
  static HandleTables tables;
  return tables;
}

bool InUse(const HandleTables &t, XcHandle id) {
  return id == 0 || t.sessions.count(id) || t.containers.count(id) || t.files.count(id);
}

XcHandle NewId() {
  HandleTables &t = Tables();
  while (InUse(t, t.next_id)) ++t.next_id;
  return t.next_id++;
}

XcHandle HandleFor(std::map<XcHandle, Target> *table, Target target) {
  for (const auto &[id, existing] : *table) {
    if (!(existing < target) && !(target < existing)) return id;
  }
  XcHandle id = NewId();
  (*table)[id] = target;
  return id;
}

void EraseSessionTargets(std::map<XcHandle, Target> *table, XcHandle session) {
  for (auto it = table->begin(); it != table->end();) {
    it = it->second.session == session ? table->erase(it) : std::next(it);
  }
}

Session *Resolve(const std::map<XcHandle, Target> &table, XcHandle handle, uint32_t *out_index) {
  auto it = table.find(handle);
  if (it == table.end()) return nullptr;
  Session *session = FindSession(it->second.session);
  if (session != nullptr) *out_index = it->second.index;
  return session;
}

}  // namespace

XcHandle RegisterSession(std::unique_ptr<Session> session) {
  XcHandle id = NewId();
  Tables().sessions[id] = std::move(session);
  return id;
}

std::unique_ptr<Session> UnregisterSession(XcHandle session_handle) {
  HandleTables &t = Tables();
  auto it = t.sessions.find(session_handle);
  if (it == t.sessions.end()) return nullptr;
  std::unique_ptr<Session> session = std::move(it->second);
  t.sessions.erase(it);
  EraseSessionTargets(&t.containers, session_handle);
  EraseSessionTargets(&t.files, session_handle);
  if (session->process != os::ProcessId()) return nullptr;
  return session;
}

Session *FindSession(XcHandle session_handle) {
  auto it = Tables().sessions.find(session_handle);
  if (it == Tables().sessions.end() || it->second->process != os::ProcessId()) return nullptr;
  return it->second.get();
}

XcHandle ContainerHandle(XcHandle session_handle, size_t slot) {
  return HandleFor(&Tables().containers, Target{session_handle, static_cast<uint32_t>(slot)});
}

Session *FindContainer(XcHandle container_handle, size_t *out_slot) {
  uint32_t slot = 0;
  Session *session = Resolve(Tables().containers, container_handle, &slot);
  if (session != nullptr) *out_slot = slot;
  return session;
}

XcHandle UserFileHandle(XcHandle session_handle, uint32_t file_number) {
  return HandleFor(&Tables().files, Target{session_handle, file_number});
}

Session *FindUserFile(XcHandle file_handle, uint32_t *out_file_number) {
  return Resolve(Tables().files, file_handle, out_file_number);
}

void ForgetUserFileHandles(XcHandle file_handle) {
  auto &files = Tables().files;
  auto found = files.find(file_handle);
  if (found == files.end()) return;
  Target target = found->second;
  for (auto it = files.begin(); it != files.end();) {
    bool same = it->second.session == target.session && it->second.index == target.index;
    it = same ? files.erase(it) : std::next(it);
  }
}

void LetLockGoWhileComputing(Session *session) {
  if (!session->changed) session->lock.Release();
}

namespace {

// OwningSession returns the session handle behind any handle, or 0.
XcHandle OwningSession(XcHandle handle) {
  const HandleTables &t = Tables();
  if (t.sessions.count(handle)) return handle;
  for (const auto *table : {&t.containers, &t.files}) {
    auto it = table->find(handle);
    if (it != table->end()) return it->second.session;
  }
  return 0;
}

bool SameContainer(const Container &before, const Container &after) {
  return before.present == after.present && before.name == after.name;
}

// TakeInNewerStore replaces the snapshot of a session that has staged
// nothing, and ends its container handles whose slot changed hands: a
// handle keeps naming the container it was given for. XCST_INTERNAL, and
// nothing replaced, for a session with a staged change.
int32_t TakeInNewerStore(XcHandle session_handle, Session *session, LoadedStore loaded) {
  // Rule 4: a staged change would be dropped with the old snapshot.
  if (session->changed) return XCST_INTERNAL;
  const TokenState &before = *session->committed;
  const TokenState &after = *loaded.state;
  auto &containers = Tables().containers;
  for (auto it = containers.begin(); it != containers.end();) {
    const Target &target = it->second;
    const bool ends =
        target.session == session_handle &&
        !SameContainer(before.containers[target.index], after.containers[target.index]);
    it = ends ? containers.erase(it) : std::next(it);
  }
  session->committed = std::move(loaded.state);
  session->state = session->committed;
  session->stamp = loaded.stamp;
  return 0;
}

}  // namespace

namespace {

void (*lock_taken_back_hook)() = nullptr;

}  // namespace

void SetLockTakenBackHookForTesting(void (*hook)()) {
  lock_taken_back_hook = hook;
}

SessionCall::SessionCall(XcHandle handle) {
  for (;;) {
    os::LockProcessState();
    Session *session = FindSession(OwningSession(handle));
    if (session == nullptr || session->lock.Held()) return;
    os::UnlockProcessState();
    status_ = TakeLockBack(handle);
    if (status_ != 0) {
      os::LockProcessState();
      return;
    }
    if (lock_taken_back_hook != nullptr) lock_taken_back_hook();
  }
}

int32_t TakeLockBack(XcHandle handle) {
  XcHandle session_handle = 0;
  std::shared_ptr<os::Mutex> taking_lock;
  {
    os::ProcessStateGuard guard;
    session_handle = OwningSession(handle);
    Session *session = FindSession(session_handle);
    if (session == nullptr || session->lock.Held()) return 0;
    taking_lock = session->taking_lock;
  }
  os::MutexLock one_taker(taking_lock.get());
  StorePaths paths;
  {
    os::ProcessStateGuard guard;
    Session *session = FindSession(session_handle);
    if (session == nullptr || session->lock.Held()) return 0;
    paths = session->paths;
  }
  // The wait happens outside the process mutex, so that the process's other
  // sessions go on and can let the lock go meanwhile.
  StoreLock lock;
  if (int32_t status = lock.Acquire(paths.lock)) return status;
  LoadedStore loaded;
  if (int32_t status = LoadStore(paths, &loaded)) return status;
  os::ProcessStateGuard guard;
  Session *session = FindSession(session_handle);
  // Disconnected meanwhile: `lock` goes with this call.
  if (session == nullptr) return 0;
  session->lock.Swap(lock);
  if (loaded.stamp == session->stamp) return 0;
  return TakeInNewerStore(session_handle, session, std::move(loaded));
}

int32_t CommitPinTries(Session *session, uint8_t tries_left) {
  TokenState next = *session->committed;
  next.user_pin.tries_left = tries_left;
  StoreStamp stamp;
  if (int32_t status = SaveStore(session->paths, &session->lock, next, session->stamp, &stamp)) {
    return status;
  }
  auto committed = std::make_shared<const TokenState>(std::move(next));
  if (session->changed) {
    TokenState seen = *session->state;
    seen.user_pin.tries_left = tries_left;
    session->state = std::make_shared<const TokenState>(std::move(seen));
  } else {
    session->state = committed;
  }
  session->committed = std::move(committed);
  session->stamp = stamp;
  return 0;
}

int32_t CommitSession(Session *session) {
  if (!session->changed) return 0;
  StoreStamp stamp;
  if (int32_t status =
          SaveStore(session->paths, &session->lock, *session->state, session->stamp, &stamp)) {
    return status;
  }
  session->committed = session->state;
  session->stamp = stamp;
  session->changed = false;
  return 0;
}

}  // namespace obkey::softtoken

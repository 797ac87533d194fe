// p11token_os.h — the operating-system services of the PKCS #11 token library:
// loading the module, the module's lock and the locks over the library's
// process state.
#ifndef OBKEY_P11TOKEN_P11TOKEN_OS_H
#define OBKEY_P11TOKEN_P11TOKEN_OS_H

#include <stdint.h>

#include <string>

#include "scoped_call.h"

namespace obkey::p11token::os {

// LoadModule loads the shared library at `path` (dlopen / LoadLibraryA) and
// returns its handle, or null. The library stays loaded for the process.
void *LoadModule(const std::string &path);

// ModuleSymbol returns the address of `name` in a loaded module, or null.
void *ModuleSymbol(void *module, const char *name);

// LoadError is the loader's message for the last failed LoadModule.
std::string LoadError();

// ModuleFileIdentity names the file a loaded module came from, the same for
// every path that leads to it (symbolic links, relative paths, a bare name
// the loader searched for): `*out_name` its file name, `*out_identity` POSIX
// "<device>:<inode>", Windows its full path in lower case. False when it
// cannot be told.
bool ModuleFileIdentity(void *module, void *symbol_in_module, std::string *out_name,
                        std::string *out_identity);

// LockToken takes the exclusive lock named `token_key` (letters, digits and
// '_' only) that every process of the user's holds for a step on the
// module's tokens, waiting up to `timeout_ms`. Returns the lock, or null when
// another process kept it past the timeout (`*out_busy` true) or it could
// not be made (false).
// POSIX: flock on <run dir>/obkey-p11-<key>.lock, the run dir being
// $OBKEY_PKCS11_LOCK_DIR, else $XDG_RUNTIME_DIR, else a private
// /tmp/obkey-<uid>. Windows: the named mutex
// Local\obkey-p11-<key>.
void *LockToken(const std::string &token_key, int timeout_ms, bool *out_busy);
// ChangeCounter returns the counter that the processes sharing the lock
// `token_key` move on with every changing step, mapped into this process
// (POSIX: the lock file's first 8 bytes; Windows: the shared memory
// Local\obkey-p11-count-<key>), or null when it cannot be had. Called with
// the lock held; the counter is read with atomic loads, moved with atomic
// increments.
uint64_t *ChangeCounter(const std::string &token_key);

// LockFailureText says why the last LockToken could not make its lock: the
// folder or file tried and the system's error.
std::string LockFailureText();
// UnlockToken releases a lock from LockToken (null: nothing).
void UnlockToken(void *lock);

// Pause waits `milliseconds`.
void Pause(int milliseconds);

// The process lock: every exported call holds it shared, a changing step
// exclusive (the handle tables, the module's state and what the process
// learned of the token, and a change's read-modify-write stay whole for
// the threads of the process).
void LockProcessState(bool exclusive);
void UnlockProcessState(bool exclusive);

// The lock of one connection's steps: one of a fixed set, chosen by the
// connection's handle, so that two threads on one connection never use its
// PKCS #11 session at once while other connections go on.
void LockConnection(uint32_t connection);
void UnlockConnection(uint32_t connection);

// The lock over the library's tables (handles, what was learned of the
// module and its objects), held for a look-up or an update, never across
// another of these locks.
void LockTables();
void UnlockTables();

using TablesGuard = ScopedCall<LockTables, UnlockTables>;

// ProcessStateGuard holds the process lock, shared, for one exported call.
// A changing step makes it exclusive before it reads anything
// (MakeExclusive); a reading step holds its connection's lock from the
// look-up of its handle (HoldConnection). A call that reaches the part it
// can run beside every other (a signature on its own session) lets go early
// with ReleaseEarly. Each acts on the calling thread's guard, if it has one.
class ProcessStateGuard {
 public:
  ProcessStateGuard();
  ~ProcessStateGuard();
  ProcessStateGuard(const ProcessStateGuard &) = delete;
  ProcessStateGuard &operator=(const ProcessStateGuard &) = delete;
  static void MakeExclusive();
  static void HoldConnection(uint32_t connection);
  static void ReleaseEarly();
};

}  // namespace obkey::p11token::os

#endif  // OBKEY_P11TOKEN_P11TOKEN_OS_H

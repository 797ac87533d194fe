// TokenSession: one token session for the length of one exported call.
#ifndef OBKEY_TOKEN_TOKEN_SESSION_H
#define OBKEY_TOKEN_TOKEN_SESSION_H

#include <stdint.h>

#include "xcsp_eclib.h"

namespace obkey {

// TokenSession opens a session with EkeyConnect when constructed and closes it
// with XC_DisconnectEkey when destroyed, on every exit. After a failed
// opening the token library still sees one XC_DisconnectEkey with handle 0,
// unless the session was made with kNoDisconnectAfterFailedOpen.
class TokenSession {
 public:
  enum class FailedOpen { kDisconnect, kNoDisconnectAfterFailedOpen };

  explicit TokenSession(FailedOpen failed_open = FailedOpen::kDisconnect);
  ~TokenSession();
  TokenSession(const TokenSession &) = delete;
  TokenSession &operator=(const TokenSession &) = delete;

  bool is_open() const { return open_status_ == 0; }
  // open_status is 0, or the status of the failed opening (3).
  int32_t open_status() const { return open_status_; }
  XcHandle handle() const { return handle_; }

  // Close disconnects now, for calls that log after the disconnect. Later
  // calls, the destructor's included, do nothing. A failed disconnect of an
  // opened session is kept for the calling thread's DisconnectWatch.
  void Close();

 private:
  XcHandle handle_ = 0;
  int32_t open_status_ = 0;
  bool closed_ = false;
};

// DisconnectWatch covers one exported call on the calling thread. A token
// library that commits a session's changes at its disconnect reports a
// change it could not keep there, so a call that would return 0 returns
// instead the status of the first failed XC_DisconnectEkey of a session it
// opened. A disconnect with handle 0 (after a failed opening) is never
// counted, and a call that already failed keeps its own status.
class DisconnectWatch {
 public:
  DisconnectWatch();
  ~DisconnectWatch();
  DisconnectWatch(const DisconnectWatch &) = delete;
  DisconnectWatch &operator=(const DisconnectWatch &) = delete;

  // Outcome is `status`, or the first failed disconnect's status when
  // `status` is 0.
  int32_t Outcome(int32_t status) const;

 private:
  int32_t outer_failure_;
};

}  // namespace obkey

#endif  // OBKEY_TOKEN_TOKEN_SESSION_H

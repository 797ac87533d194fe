#include "token_session.h"

#include "ekey_connect.h"
#include "static_tls.h"

namespace obkey {

namespace {

// The first failed disconnect of the export running on this thread.
OBKEY_STATIC_TLS thread_local int32_t first_failed_disconnect = 0;

}  // namespace

TokenSession::TokenSession(FailedOpen failed_open) {
  open_status_ = EkeyConnect(&handle_);
  if (open_status_ != 0 && failed_open == FailedOpen::kNoDisconnectAfterFailedOpen) {
    closed_ = true;
  }
}

TokenSession::~TokenSession() {
  Close();
}

void TokenSession::Close() {
  if (closed_) return;
  closed_ = true;
  int32_t status = XC_DisconnectEkey(handle_);
  if (handle_ != 0 && status != 0 && first_failed_disconnect == 0) {
    first_failed_disconnect = status;
  }
}

DisconnectWatch::DisconnectWatch() : outer_failure_(first_failed_disconnect) {
  first_failed_disconnect = 0;
}

DisconnectWatch::~DisconnectWatch() {
  first_failed_disconnect = outer_failure_;
}

int32_t DisconnectWatch::Outcome(int32_t status) const {
  return status != 0 ? status : first_failed_disconnect;
}

}  // namespace obkey

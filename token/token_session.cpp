#include "token_session.h"

#include "ekey_connect.h"

namespace obkey {

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
  XC_DisconnectEkey(handle_);
}

}  // namespace obkey

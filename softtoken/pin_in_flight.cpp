#include "pin_in_flight.h"

#include "softtoken_os.h"
#include "softtoken_status.h"
#include "store_file.h"

namespace obkey::softtoken {

int32_t PinCheckInFlight::Begin(const std::string &tries_path) {
  End();
  if (!os::OpenLockFile(tries_path, &file_)) return XCST_STORE_IO;
  open_ = true;
  process_ = os::ProcessId();
  // Another check holds the file whole only for the moment it takes to see
  // that none is in flight: this waits no longer than that.
  if (!os::LockShared(file_)) {
    End();
    return XCST_STORE_IO;
  }
  return 0;
}

void PinCheckInFlight::End() {
  // A forked child closed its copy at the fork (os.h): the mark stays its
  // parent's.
  if (open_ && process_ == os::ProcessId()) os::CloseLockFile(file_);
  open_ = false;
}

bool PinChecksInFlight(const std::string &tries_path) {
  intptr_t file = 0;
  if (!os::OpenLockFile(tries_path, &file)) return false;
  const bool in_flight = os::LockWithin(tries_path, 0, &file) == os::LockStatus::kHeldElsewhere;
  os::CloseLockFile(file);
  return in_flight;
}

int32_t WaitForPinChecksInFlight(const AwaitedPinChecks &awaited) {
  // A poll: the wait is rare (no try left), and what ends it is either of
  // two things in other processes.
  constexpr unsigned kPollMs = 2;
  for (unsigned waited_ms = 0; waited_ms <= LockTimeoutMs(); waited_ms += kPollMs) {
    os::FileIdentity now;
    if (!PinChecksInFlight(awaited.tries_path) ||
        os::StatIdentity(awaited.store_path, &now) != os::ReadStatus::kOk ||
        !(now == awaited.store_seen)) {
      return 0;
    }
    os::SleepMs(kPollMs);
  }
  return XCST_TOKEN_BUSY;
}

}  // namespace obkey::softtoken

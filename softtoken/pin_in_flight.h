// pin_in_flight.h — the PIN checks in flight on a token, seen by every
// process. A check pays its try (the counter one lower in the store) before
// it derives the PIN, with the store's lock let go; from then until its
// answer is settled (the counter restored by a right PIN, or the wrong PIN
// counted) it holds a shared lock on the token's tries file,
// `token-N.tries`. A check that finds no try left while others are in
// flight waits for them before it believes the counter: one of them may be
// the right PIN, which restores the tries. So checks made at once are
// answered as if they had come one after the other.
#ifndef OBKEY_SOFTTOKEN_PIN_IN_FLIGHT_H
#define OBKEY_SOFTTOKEN_PIN_IN_FLIGHT_H

#include <cstdint>
#include <string>

#include "softtoken_os.h"

namespace obkey::softtoken {

// PinCheckInFlight is one check's mark, from Begin to End (or its end).
class PinCheckInFlight {
 public:
  PinCheckInFlight() = default;
  ~PinCheckInFlight() { End(); }
  PinCheckInFlight(const PinCheckInFlight &) = delete;
  PinCheckInFlight &operator=(const PinCheckInFlight &) = delete;

  // Begin marks a check of the token whose tries file is `tries_path`.
  // Returns 0 or XCST_STORE_IO (the file cannot be opened or locked).
  int32_t Begin(const std::string &tries_path);
  void End();

 private:
  intptr_t file_ = 0;
  bool open_ = false;
  uint64_t process_ = 0;
};

// PinChecksInFlight says whether a check of the token is in flight now,
// in any process; false when the tries file cannot be read (then nobody
// can have marked a check there).
bool PinChecksInFlight(const std::string &tries_path);

// AwaitedPinChecks is what a check that found no try left waits on: the
// checks then in flight, and the store as it then was.
struct AwaitedPinChecks {
  std::string tries_path;
  std::string store_path;
  os::FileIdentity store_seen;
};

// WaitForPinChecksInFlight waits, up to the lock timeout, until no check of
// the token is in flight or the store changed (a check restored the tries,
// or some other change was made): either way the counter is worth reading
// again. Not for none in flight at all: new checks start once the tries
// are restored. Returns 0 or XCST_TOKEN_BUSY (nothing changed by the
// timeout).
int32_t WaitForPinChecksInFlight(const AwaitedPinChecks &awaited);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_PIN_IN_FLIGHT_H

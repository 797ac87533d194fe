// A recording fake of the token library and FormatMWKey. Every call is
// recorded, in order, as one line of text with its arguments; each test
// scripts the statuses and the outputs it needs. The same controls exist as
// C functions (FakeToken_*) so that a test can drive the fake when it is
// loaded as xcsp_eclib.dll / libxcsp_eclib.so behind the real obkey library.
#ifndef OBKEY_TESTS_FAKE_FAKE_TOKEN_H
#define OBKEY_TESTS_FAKE_FAKE_TOKEN_H

#include <stddef.h>
#include <stdint.h>

#include "xcsp_eclib.h"

#if defined(_WIN32)
#if defined(FAKE_TOKEN_BUILD)
#define FAKE_EXPORT __declspec(dllexport)
#else
#define FAKE_EXPORT
#endif
#else
#define FAKE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Forgets every recorded call and every scripted answer; handles go back to
// session 17, container 33, user file 51.
FAKE_EXPORT void XCAPI FakeToken_Reset(void);
// The next call of `function` returns `status` (queued; then 0 again).
FAKE_EXPORT void XCAPI FakeToken_QueueStatus(const char *function, int32_t status);
// The next successful call of `function` writes these bytes to its output
// buffer (at most the capacity it was given) and reports their length.
FAKE_EXPORT void XCAPI FakeToken_QueueOutput(const char *function, const uint8_t *data,
                                             uint32_t len);
FAKE_EXPORT void XCAPI FakeToken_SetHandles(XcHandle session, XcHandle container, XcHandle file);
// Writes the recorded calls, one per line, zero-terminated, into `out`;
// returns the length the whole trace needs (without the terminator).
FAKE_EXPORT uint32_t XCAPI FakeToken_Trace(char *out, uint32_t capacity);
// The recording body of FormatMWKey, shared with the KeyOperation fake.
FAKE_EXPORT int32_t XCAPI FakeToken_FormatMWKey(const char *admin_pin, const char *second_text,
                                                int32_t device_index);

#ifdef __cplusplus
}  // extern "C"

#include <string>
#include <vector>

namespace fake {

inline void Reset() {
  FakeToken_Reset();
}
inline void QueueStatus(const std::string &function, int32_t status) {
  FakeToken_QueueStatus(function.c_str(), status);
}
inline void QueueOutput(const std::string &function, const std::vector<uint8_t> &bytes) {
  FakeToken_QueueOutput(function.c_str(), bytes.data(), static_cast<uint32_t>(bytes.size()));
}
std::vector<std::string> Calls();
// The recorded calls of `function`, in order, each as Calls() shows it.
std::vector<std::string> CallsOf(const std::string &function);
// The arguments of the `nth` recorded call of `function` (counted from 0),
// each as the trace writes it: a number, "null", quoted text or hex bytes.
// Empty when the fake saw fewer calls of `function`.
std::vector<std::string> ArgumentsOf(const std::string &function, size_t nth = 0);

}  // namespace fake
#endif

#endif  // OBKEY_TESTS_FAKE_FAKE_TOKEN_H

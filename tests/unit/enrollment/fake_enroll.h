// A recording fake of the enrollment library, linked into the test program
// in place of VeltaNxoEnrollApi: every call is kept with its arguments (texts
// copied), and each function answers with a scripted status.
#ifndef OBKEY_TESTS_UNIT_ENROLLMENT_FAKE_ENROLL_H
#define OBKEY_TESTS_UNIT_ENROLLMENT_FAKE_ENROLL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace fake_enroll {

struct Call {
  std::string function;
  std::vector<uintptr_t> words;    // every argument as passed
  std::vector<std::string> texts;  // the text arguments, copied ("<null>" for null)
};

void Reset();
// Every later call of `function` returns `status`.
void SetStatus(const std::string &function, int32_t status);
const std::vector<Call> &Calls();

}  // namespace fake_enroll

#endif  // OBKEY_TESTS_UNIT_ENROLLMENT_FAKE_ENROLL_H

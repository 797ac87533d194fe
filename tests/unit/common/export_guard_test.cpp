// The guard at the C boundary: an escaping exception becomes the failure
// status, and is printed to standard error only when OBKEY_DEBUG asks.
#include "export_guard.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <new>
#include <stdexcept>
#include <string>

namespace {

constexpr int32_t kFailed = -7;

struct GuardCase {
  const char *debug;  // OBKEY_DEBUG, or null for unset
  bool standard;      // a std::exception, or an int
  const char *printed;
};

TEST(ExportGuardTest, SwallowedExceptionIsPrintedOnlyUnderObkeyDebug) {
  const GuardCase cases[] = {
      {nullptr, true, ""},
      {"", true, ""},
      {"1", true, "obkey: exception at the export boundary, status -7: disk on fire\n"},
      {"1", false, "obkey: exception at the export boundary, status -7: not a std::exception\n"},
  };
  for (const GuardCase &c : cases) {
    if (c.debug == nullptr) {
      unsetenv("OBKEY_DEBUG");
    } else {
      setenv("OBKEY_DEBUG", c.debug, 1);
    }
    ::testing::internal::CaptureStderr();
    const int32_t status = obkey::GuardedExport<kFailed>([&]() -> int32_t {
      if (c.standard) throw std::runtime_error("disk on fire");
      throw 3;
    });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.printed) << (c.debug ? c.debug : "unset");
    EXPECT_EQ(status, kFailed);
  }
  unsetenv("OBKEY_DEBUG");
  EXPECT_EQ(obkey::GuardedExport<kFailed>([] { return 5; }), 5);
}

}  // namespace

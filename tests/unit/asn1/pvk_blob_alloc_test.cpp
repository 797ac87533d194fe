// Fails each heap allocation of a conversion in turn; this program replaces
// the global operator new, so it is kept apart from the other tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "pvk_blob.h"

namespace {
// Allocations left before the next one fails; negative means never fail.
thread_local long g_allocs_until_failure = -1;
thread_local bool g_failed = false;
}  // namespace

void *operator new(std::size_t size) {
  if (g_allocs_until_failure == 0) {
    g_failed = true;
    throw std::bad_alloc();
  }
  if (g_allocs_until_failure > 0) --g_allocs_until_failure;
  if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The replacement new above allocates with malloc, so free is its match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
  std::free(p);
}

namespace obkey {
namespace {

TEST(PvkBlobAllocTest, EveryFailedAllocationLeavesTheResultUntouched) {
  std::vector<uint8_t> blob(20 + 2 * 128 + 5 * 64, 0xA5);
  const uint8_t bit_len[4] = {0x00, 0x04, 0x00, 0x00};  // 1024
  std::copy(bit_len, bit_len + 4, blob.begin() + 12);
  const uint32_t blob_len = static_cast<uint32_t>(blob.size());
  std::vector<uint8_t> out(kPvkDerCapacity, 0xCC);

  int failures = 0;
  for (long fail_at = 0; fail_at < 1000; ++fail_at) {
    uint32_t der_len = 4321;
    g_failed = false;
    g_allocs_until_failure = fail_at;
    const int status = PvkBlobASN1Encode(blob.data(), blob_len, &der_len, out.data());
    const bool failed = g_failed;
    g_allocs_until_failure = -1;
    if (!failed) {
      EXPECT_EQ(status, 1);
      EXPECT_NE(der_len, 4321u);
      break;
    }
    ++failures;
    EXPECT_EQ(status, 0) << fail_at;
    EXPECT_EQ(der_len, 4321u) << fail_at;
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0xCC)) << fail_at;
  }
  // At least one allocation per element; compilers may merge others.
  EXPECT_GE(failures, 9);
}

}  // namespace
}  // namespace obkey

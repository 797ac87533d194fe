// Small helpers shared by the crypto unit tests.
#ifndef OBKEY_TESTS_SUPPORT_TEST_UTIL_H
#define OBKEY_TESTS_SUPPORT_TEST_UTIL_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "hex.h"

namespace obkey::test {

using Bytes = std::vector<uint8_t>;

// Deterministic pseudo-random bytes, so that a failure can be replayed.
class TestRandom {
 public:
  explicit TestRandom(uint32_t seed) : engine_(seed) {}
  Bytes NextBytes(size_t len) {
    Bytes out(len);
    for (auto &b : out) b = static_cast<uint8_t>(engine_());
    return out;
  }
  uint32_t Next32() { return static_cast<uint32_t>(engine_()); }
  // Uniform in [0, bound).
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Next32() % bound; }

 private:
  std::mt19937 engine_;
};

}  // namespace obkey::test

#endif  // OBKEY_TESTS_SUPPORT_TEST_UTIL_H

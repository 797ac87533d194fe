// Small helpers shared by the crypto unit tests.
#ifndef OBKEY_TESTS_SUPPORT_TEST_UTIL_H
#define OBKEY_TESTS_SUPPORT_TEST_UTIL_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace obkey::test {

using Bytes = std::vector<uint8_t>;

inline std::string Hex(const uint8_t *p, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

inline std::string Hex(const Bytes &b) {
  return Hex(b.data(), b.size());
}

// Hex text to bytes; the text is the test's own and well formed.
inline Bytes FromHex(const std::string &hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

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

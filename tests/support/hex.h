// Hexadecimal text for the tests, the fake token's trace and the vector
// files: one encoder, one decoder. Standard library only, so that the
// cross-compiled fake and the Windows harness can include it too.
#ifndef OBKEY_TESTS_SUPPORT_HEX_H
#define OBKEY_TESTS_SUPPORT_HEX_H

#include <stddef.h>
#include <stdint.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace obkey::test {

// Hex is the lowercase hexadecimal text of `len` bytes at `p`.
inline std::string Hex(const uint8_t *p, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (size_t i = 0; i < len; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

inline std::string Hex(const std::vector<uint8_t> &bytes) {
  return Hex(bytes.data(), bytes.size());
}

// DecodeHex stores the bytes of `hex` (either case) in `*out`. False, with
// `*out` empty, on an odd length or a character that is not a hex digit.
inline bool DecodeHex(const std::string &hex, std::vector<uint8_t> *out) {
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = value(hex[i]);
    const int low = value(hex[i + 1]);
    if (high < 0 || low < 0) {
      out->clear();
      return false;
    }
    out->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

// FromHex is DecodeHex for text a test wrote or read from a trace: a
// malformed text throws, which fails the test rather than comparing against
// fewer bytes.
inline std::vector<uint8_t> FromHex(const std::string &hex) {
  std::vector<uint8_t> out;
  if (!DecodeHex(hex, &out)) throw std::invalid_argument("not hexadecimal: \"" + hex + "\"");
  return out;
}

}  // namespace obkey::test

#endif  // OBKEY_TESTS_SUPPORT_HEX_H

// What the token benchmarks share: the token they set up (device and user
// PIN), the size of an RSA block, and how a setup step that fails stops the
// run.
#ifndef OBKEY_BENCH_BENCH_SUPPORT_H
#define OBKEY_BENCH_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace obkey_bench {

using Bytes = std::vector<uint8_t>;

constexpr char kUserPin[] = "12345678";
constexpr int32_t kMainDevice = 0;
// A 1024-bit RSA block: a signature, or an operation's input and output.
constexpr size_t kRsaBlock = 128;

// Require stops the setup with `what` when a step failed.
inline void Require(bool ok, const std::string &what) {
  if (!ok) throw std::runtime_error(what);
}

}  // namespace obkey_bench

#endif  // OBKEY_BENCH_BENCH_SUPPORT_H

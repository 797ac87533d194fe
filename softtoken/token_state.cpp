#include "token_state.h"

namespace obkey::softtoken {

uint64_t UserFileBytes(const TokenState &state) {
  uint64_t total = 0;
  for (const auto &entry : state.user_files) total += entry.second.size();
  return total;
}

uint64_t ScryptN(const ScryptCost &cost) {
  return uint64_t{1} << cost.log2_n;
}

uint64_t ScryptMemory(const ScryptCost &cost) {
  return 128ull * cost.r * (ScryptN(cost) + 2) + 128ull * cost.r * cost.p;
}

bool ScryptCostAllowed(const ScryptCost &cost) {
  constexpr uint64_t kMaxMemory = 256ull << 20;
  const uint64_t default_work =
      ScryptN(kDefaultScryptCost) * kDefaultScryptCost.r * kDefaultScryptCost.p;
  if (cost.log2_n < kMinScryptLog2N || cost.log2_n > kMaxScryptLog2N) return false;
  if (cost.r < 1 || cost.r > 32 || cost.p < 1 || cost.p > 16) return false;
  return ScryptMemory(cost) <= kMaxMemory && ScryptN(cost) * cost.r * cost.p <= 16 * default_work;
}

size_t CertificateCount(const TokenState &state) {
  size_t count = 0;
  for (const Container &container : state.containers) {
    for (const KeySlot &slot : container.keys) {
      if (!slot.certificate.empty()) ++count;
    }
  }
  return count;
}

}  // namespace obkey::softtoken

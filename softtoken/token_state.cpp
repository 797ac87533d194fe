#include "token_state.h"

namespace obkey::softtoken {

uint64_t UserFileBytes(const TokenState &state) {
  uint64_t total = 0;
  for (const auto &entry : state.user_files) total += entry.second.size();
  return total;
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

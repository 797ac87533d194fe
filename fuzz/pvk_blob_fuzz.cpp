// Private-key blobs of any length and content: the conversion must refuse or
// produce DER within the import's fixed buffer, never read past the blob.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pvk_blob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A heap copy of exactly `size` bytes, so that any over-read is caught.
  std::vector<uint8_t> blob(data, data + size);
  uint8_t der[obkey::kPvkDerCapacity + 1];
  der[obkey::kPvkDerCapacity] = 0xA5;
  uint32_t der_len = 0;
  int converted =
      obkey::PvkBlobASN1Encode(blob.data(), static_cast<uint32_t>(blob.size()), &der_len, der);
  if (converted == 1 && (der_len == 0 || der_len > obkey::kPvkDerCapacity)) __builtin_trap();
  if (der[obkey::kPvkDerCapacity] != 0xA5) __builtin_trap();
  return 0;
}

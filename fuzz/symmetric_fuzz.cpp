// The software cipher calls with arbitrary keys, lengths, algorithms and
// modes: every byte written stays inside the caller's output buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "obkey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  const uint32_t algorithms[] = {CALG_3DES, CALG_RC4, OB_ALG_KEY_AREA, 0};
  uint32_t alg = algorithms[data[0] % 4];
  uint32_t mode = data[1] % 6;
  size_t key_len = data[2] % 33;
  uint32_t capacity = data[3];
  bool decrypt = data[4] & 1;
  data += 5;
  size -= 5;
  if (key_len > size) key_len = size;
  std::vector<uint8_t> key(data, data + key_len);
  std::vector<uint8_t> in(data + key_len, data + size);
  std::vector<uint8_t> out(capacity);
  DataBlob key_record{static_cast<uint32_t>(key.size()), key.empty() ? nullptr : key.data()};
  uint32_t out_len = capacity;
  auto call = decrypt ? OB_SymmetryDecrypt : OB_SymmetricEncrypt;
  call(&key_record, 0, 0, in.data(), static_cast<uint32_t>(in.size()),
       out.empty() ? nullptr : out.data(), &out_len, alg, mode);
  return 0;
}

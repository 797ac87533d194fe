// Every software cipher mode with any key and data: decrypt(encrypt(x)) = x
// through the exported calls, and a triple-DES stream mode run over the data
// split in two calls equals one call over all of it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "obkey.h"
#include "tdes.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Mode {
  uint32_t alg_id;
  uint32_t mode;
  bool whole_blocks;
};

const Mode kModes[] = {
    {CALG_3DES, 1, true},  {CALG_3DES, 2, true}, {CALG_3DES, 3, false},
    {CALG_3DES, 4, false}, {CALG_RC4, 0, false},
};

void CheckRoundTrip(const Mode &mode, Bytes key, Bytes plain) {
  if (mode.whole_blocks) plain.resize(plain.size() / 8 * 8);
  if (plain.empty()) return;
  DataBlob key_record{static_cast<uint32_t>(key.size()), key.data()};
  Bytes sealed(plain.size()), opened(plain.size());
  uint32_t sealed_len = static_cast<uint32_t>(sealed.size());
  if (OB_SymmetricEncrypt(&key_record, 0, 0, plain.data(), static_cast<uint32_t>(plain.size()),
                          sealed.data(), &sealed_len, mode.alg_id, mode.mode) != 0) {
    return;  // a key too short or weak for its cipher
  }
  uint32_t opened_len = static_cast<uint32_t>(opened.size());
  if (OB_SymmetryDecrypt(&key_record, 0, 0, sealed.data(), sealed_len, opened.data(), &opened_len,
                         mode.alg_id, mode.mode) != 0 ||
      opened != plain) {
    __builtin_trap();
  }
}

using StreamCall = int32_t (*)(const obkey::TripleDesContext *, uint8_t *, int32_t *, uint8_t *,
                               int32_t);

void CheckSplitStream(Bytes key, const Bytes &plain, size_t split) {
  if (key.size() < 16) return;
  obkey::TripleDesContext ctx;
  if (obkey::TripleDesSetKey(key.data(), static_cast<int32_t>(key.size()), &ctx) != 0) return;
  const StreamCall calls[] = {obkey::TripleDesCfb64Encrypt, obkey::TripleDesCfb64Decrypt,
                              obkey::TripleDesOfb64};
  for (StreamCall call : calls) {
    Bytes whole = plain, parts = plain;
    uint8_t vector_whole[8] = {}, vector_parts[8] = {};
    int32_t position_whole = 0, position_parts = 0;
    call(&ctx, vector_whole, &position_whole, whole.data(), static_cast<int32_t>(whole.size()));
    call(&ctx, vector_parts, &position_parts, parts.data(), static_cast<int32_t>(split));
    call(&ctx, vector_parts, &position_parts, parts.data() + split,
         static_cast<int32_t>(parts.size() - split));
    if (whole != parts || position_whole != position_parts ||
        std::memcmp(vector_whole, vector_parts, 8) != 0) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const Mode &mode = kModes[data[0] % 5];
  const size_t key_len = 1 + data[1] % 32;
  const uint8_t split_byte = data[2];
  data += 3;
  size -= 3;
  if (size < key_len) return 0;
  const Bytes key(data, data + key_len);
  const Bytes plain(data + key_len, data + size);
  CheckRoundTrip(mode, key, plain);
  CheckSplitStream(key, plain, plain.empty() ? 0 : split_byte % (plain.size() + 1));
  return 0;
}

#include "token_output.h"

#include <cstring>

#include "size_query.h"
#include "softtoken_status.h"

namespace obkey {

int32_t ReserveOutput(uint32_t needed, const uint8_t *out, uint32_t *inout_len) {
  if (inout_len == nullptr) return XCST_BAD_ARGUMENT;
  return AnswerSizeQuery(out, inout_len, needed) ? XCST_BUFFER_TOO_SMALL : 0;
}

int32_t WriteOutput(const uint8_t *data, size_t len, uint8_t *out, uint32_t *inout_len) {
  if (int32_t status = ReserveOutput(static_cast<uint32_t>(len), out, inout_len)) return status;
  if (len != 0) std::memcpy(out, data, len);
  *inout_len = static_cast<uint32_t>(len);
  return 0;
}

int32_t WriteUnpadded(Pkcs1BlockType type, const RsaBlock &block, uint8_t *out,
                      uint32_t *inout_len) {
  const SecretBytes result = PayloadOrBlock(type, block);
  return WriteOutput(result.data(), result.size(), out, inout_len);
}

}  // namespace obkey

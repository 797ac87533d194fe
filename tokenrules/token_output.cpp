#include "token_output.h"

#include <cstring>

#include "size_query.h"
#include "softtoken_status.h"
#include "xcsp_eclib.h"

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

int32_t WritePublicKeyRecord(const RsaBlock &modulus, const uint8_t *exponent, size_t exponent_len,
                             uint8_t *out, uint32_t *inout_len) {
  static constexpr uint8_t kBitLength[4] = {0x00, 0x00, 0x04, 0x00};
  constexpr size_t kExponentSize = XC_PUBKEY_MODULUS_OFFSET - sizeof(kBitLength);
  if (exponent_len == 0 || exponent_len > kExponentSize) return XCST_BAD_KEY;
  if (int32_t status = ReserveOutput(XC_PUBKEY_SIZE, out, inout_len)) return status;
  std::memcpy(out, kBitLength, sizeof(kBitLength));
  std::memset(out + sizeof(kBitLength), 0, kExponentSize - exponent_len);
  std::memcpy(out + XC_PUBKEY_MODULUS_OFFSET - exponent_len, exponent, exponent_len);
  std::memcpy(out + XC_PUBKEY_MODULUS_OFFSET, modulus.data(), modulus.size());
  *inout_len = XC_PUBKEY_SIZE;
  return 0;
}

int32_t WriteUnpadded(Pkcs1BlockType type, const RsaBlock &block, uint8_t *out,
                      uint32_t *inout_len) {
  const SecretBytes result = PayloadOrBlock(type, block);
  return WriteOutput(result.data(), result.size(), out, inout_len);
}

}  // namespace obkey

#include "softtoken/rsa_padding.h"

#include <openssl/rand.h>

#include <cstring>

namespace obkey::softtoken {

namespace {

constexpr size_t kMinPaddingBytes = 8;

bool FillNonzeroRandom(uint8_t *out, size_t len) {
  if (RAND_bytes(out, static_cast<int>(len)) != 1) return false;
  for (size_t i = 0; i < len; ++i) {
    while (out[i] == 0) {
      if (RAND_bytes(&out[i], 1) != 1) return false;
    }
  }
  return true;
}

}  // namespace

bool Pkcs1Pad(Pkcs1BlockType type, const uint8_t *payload, size_t payload_len, RsaBlock *out) {
  if (payload_len > kMaxPkcs1Payload || (payload == nullptr && payload_len != 0)) return false;
  size_t padding_len = kRsaBlock - 3 - payload_len;
  uint8_t *block = out->data();
  block[0] = 0x00;
  block[1] = static_cast<uint8_t>(type);
  if (type == Pkcs1BlockType::kSignature) {
    std::memset(block + 2, 0xFF, padding_len);
  } else if (!FillNonzeroRandom(block + 2, padding_len)) {
    return false;
  }
  block[2 + padding_len] = 0x00;
  if (payload_len != 0) std::memcpy(block + 3 + padding_len, payload, payload_len);
  return true;
}

bool Pkcs1Unpad(Pkcs1BlockType type, const RsaBlock &block, std::vector<uint8_t> *out_payload) {
  if (block[0] != 0x00 || block[1] != static_cast<uint8_t>(type)) return false;
  size_t pos = 2;
  while (pos < kRsaBlock && block[pos] != 0x00) {
    if (type == Pkcs1BlockType::kSignature && block[pos] != 0xFF) return false;
    ++pos;
  }
  if (pos == kRsaBlock || pos - 2 < kMinPaddingBytes) return false;
  out_payload->assign(block.begin() + static_cast<std::ptrdiff_t>(pos + 1), block.end());
  return true;
}

}  // namespace obkey::softtoken

#include "rsa_padding.h"

#include <openssl/rand.h>

#include <climits>
#include <cstring>

namespace obkey {

namespace {

constexpr size_t kMinPaddingBytes = 8;
// A source that gives a zero byte this often in a row is a broken one.
constexpr int kNonzeroTries = 64;

bool FillNonzero(uint8_t *out, size_t len, const RandomBytes &random) {
  if (!random(out, len)) return false;
  for (size_t i = 0; i < len; ++i) {
    for (int tries = 0; out[i] == 0 && tries < kNonzeroTries; ++tries) {
      if (!random(out + i, 1)) return false;
    }
    if (out[i] == 0) return false;
  }
  return true;
}

}  // namespace

bool OpenSslRandomBytes(uint8_t *out, size_t len) {
  return len <= INT_MAX && RAND_bytes(out, static_cast<int>(len)) == 1;
}

bool Pkcs1Pad(Pkcs1BlockType type, const uint8_t *payload, size_t payload_len,
              const RandomBytes &random, RsaBlock *out) {
  if (payload_len > kMaxPkcs1Payload || (payload == nullptr && payload_len != 0)) return false;
  size_t padding_len = kRsaBlock - 3 - payload_len;
  uint8_t *block = out->data();
  block[0] = 0x00;
  block[1] = static_cast<uint8_t>(type);
  if (type == Pkcs1BlockType::kSignature) {
    std::memset(block + 2, 0xFF, padding_len);
  } else if (!FillNonzero(block + 2, padding_len, random)) {
    return false;
  }
  block[2 + padding_len] = 0x00;
  if (payload_len != 0) std::memcpy(block + 3 + padding_len, payload, payload_len);
  return true;
}

namespace {

// PayloadOffset is where the payload of a well-formed block of `type` starts
// (after 00, type, at least eight padding bytes, 00), or 0 when the block is
// not one.
size_t PayloadOffset(Pkcs1BlockType type, const RsaBlock &block) {
  if (block[0] != 0x00 || block[1] != static_cast<uint8_t>(type)) return 0;
  size_t pos = 2;
  while (pos < kRsaBlock && block[pos] != 0x00) {
    if (type == Pkcs1BlockType::kSignature && block[pos] != 0xFF) return 0;
    ++pos;
  }
  if (pos == kRsaBlock || pos - 2 < kMinPaddingBytes) return 0;
  return pos + 1;
}

}  // namespace

bool Pkcs1Unpad(Pkcs1BlockType type, const RsaBlock &block, std::vector<uint8_t> *out_payload) {
  const size_t offset = PayloadOffset(type, block);
  if (offset == 0) return false;
  out_payload->assign(block.begin() + static_cast<std::ptrdiff_t>(offset), block.end());
  return true;
}

SecretBytes PayloadOrBlock(Pkcs1BlockType type, const RsaBlock &block) {
  return SecretBytes(block.begin() + static_cast<std::ptrdiff_t>(PayloadOffset(type, block)),
                     block.end());
}

}  // namespace obkey

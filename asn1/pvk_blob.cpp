#include "pvk_blob.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "asn1_builder.h"
#include "byte_order.h"

namespace obkey {
namespace {

constexpr int kIntegerTag = 2;
constexpr int kSequenceTag = 16;
constexpr uint32_t kBitLenOffset = 12;
constexpr uint32_t kPartsOffset = 20;

// Bytes that held private key material, wiped before they are released.
// Sized once and never grown, so no unwiped copy is left behind.
struct WipedBytes {
  std::vector<uint8_t> bytes;

  WipedBytes() = default;
  WipedBytes(const WipedBytes &) = delete;
  WipedBytes &operator=(const WipedBytes &) = delete;
  ~WipedBytes() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

// EncodeInteger writes one INTEGER element over |content_len| bytes into
// |out|, asking the builder for the length first so the buffer is exact.
bool EncodeInteger(CASN1Builder &builder, const uint8_t *content, uint32_t content_len,
                   WipedBytes &out) {
  builder.Clear();
  if (builder.Add(Asn1Part{content_len, content}) != 0) return false;
  uint32_t len = 0;
  if (builder.Encode(kIntegerTag, nullptr, &len) != 0) return false;
  out.bytes.resize(len);
  return builder.Encode(kIntegerTag, out.bytes.data(), &len) == 0;
}

// EncodeBlobPart turns the |part_len| little-endian bytes at |part| into an
// INTEGER element. The width is kept as it is: the token side expects
// fixed-width parts, so leading zero bytes stay and only a set top bit gains
// a 0x00 to keep the value positive.
bool EncodeBlobPart(CASN1Builder &builder, const uint8_t *part, uint32_t part_len,
                    WipedBytes &out) {
  // Callers pass parts of a checked blob; the bound also keeps the size
  // arithmetic below from wrapping on 32-bit targets.
  if (part_len == 0 || part_len > kPvkDerCapacity) return false;
  WipedBytes raw;
  raw.bytes.assign(static_cast<size_t>(part_len) + 1, 0);
  std::memcpy(raw.bytes.data(), part, part_len);
  const uint32_t content_len = (raw.bytes[part_len - 1] & 0x80) ? part_len + 1 : part_len;
  std::reverse(raw.bytes.begin(), raw.bytes.begin() + content_len);
  return EncodeInteger(builder, raw.bytes.data(), content_len, out);
}

int Convert(const uint8_t *blob, uint32_t blob_len, uint32_t *out_der_len, uint8_t *out_der) {
  if (blob == nullptr || out_der_len == nullptr) return 0;
  if (blob_len < kPartsOffset) return 0;

  const uint32_t bit_len = LoadLe32(blob + kBitLenOffset);
  // A multiple of 16 keeps n even, so the five half-width parts tile the
  // blob exactly and none of them is empty.
  if (bit_len == 0 || bit_len % 16 != 0) return 0;
  const uint32_t n = bit_len / 8;
  const uint32_t h = n / 2;
  // Bounds the allocations below before the exact check at the end; the
  // modulus alone must fit.
  if (n > kPvkDerCapacity) return 0;
  if (blob_len < kPartsOffset + 2 * n + 5 * h) return 0;

  // Elements in output order.
  enum { kVersion, kModulus, kPublicExp, kPrivateExp, kPrime1, kPrime2, kExp1, kExp2, kCoeff };
  std::array<WipedBytes, 9> elements;

  CASN1Builder builder;
  static const uint8_t kVersionContent[] = {0x00};
  static const uint8_t kPublicExpContent[] = {0x01, 0x00, 0x01};
  if (!EncodeInteger(builder, kVersionContent, sizeof(kVersionContent), elements[kVersion])) {
    return 0;
  }
  if (!EncodeInteger(builder, kPublicExpContent, sizeof(kPublicExpContent), elements[kPublicExp])) {
    return 0;
  }

  // Blob order, which differs from the output order.
  const struct {
    int element;
    uint32_t len;
  } kBlobParts[] = {{kModulus, n}, {kPrime1, h}, {kPrime2, h},    {kExp1, h},
                    {kExp2, h},    {kCoeff, h},  {kPrivateExp, n}};
  const uint8_t *pos = blob + kPartsOffset;
  for (const auto &part : kBlobParts) {
    if (!EncodeBlobPart(builder, pos, part.len, elements[part.element])) return 0;
    pos += part.len;
  }

  builder.Clear();
  for (const WipedBytes &element : elements) {
    const Asn1Part p{static_cast<uint32_t>(element.bytes.size()), element.bytes.data()};
    if (builder.Add(p) != 0) return 0;
  }
  uint32_t der_len = 0;
  if (builder.Encode(kSequenceTag, nullptr, &der_len) != 0) return 0;
  if (der_len > kPvkDerCapacity) return 0;
  if (out_der != nullptr && builder.Encode(kSequenceTag, out_der, &der_len) != 0) return 0;
  *out_der_len = der_len;
  return 1;
}

}  // namespace

int PvkBlobASN1Encode(const uint8_t *blob, uint32_t blob_len, uint32_t *out_der_len,
                      uint8_t *out_der) {
  try {
    return Convert(blob, blob_len, out_der_len, out_der);
  } catch (const std::bad_alloc &) {
    // Nothing has been stored yet: the length and output are set last.
    return 0;
  }
}

}  // namespace obkey

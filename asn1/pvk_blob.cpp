#include "pvk_blob.h"

#include <algorithm>
#include <array>
#include <new>

#include "asn1_builder.h"
#include "byte_reader.h"
#include "wiping_allocator.h"

namespace obkey {
namespace {

constexpr int kIntegerTag = 2;
constexpr int kSequenceTag = 16;
// What precedes the bit length: type, version, reserved, algorithm, magic.
constexpr size_t kBeforeBitLen = 12;

// EncodeInteger writes one INTEGER element over |content_len| bytes into
// |out|, asking the builder for the length first so the buffer is exact.
bool EncodeInteger(CASN1Builder &builder, const uint8_t *content, uint32_t content_len,
                   SecretBytes &out) {
  builder.Clear();
  if (builder.Add(Asn1Part{content_len, content}) != 0) return false;
  uint32_t len = 0;
  if (builder.Encode(kIntegerTag, nullptr, &len) != 0) return false;
  out.resize(len);
  return builder.Encode(kIntegerTag, out.data(), &len) == 0;
}

// EncodeBlobPart reads the next |part_len| little-endian bytes of |reader|
// into an INTEGER element. The width is kept as it is: the token side
// expects fixed-width parts, so leading zero bytes stay and only a set top
// bit gains a 0x00 to keep the value positive.
bool EncodeBlobPart(CASN1Builder &builder, ByteReader &reader, uint32_t part_len,
                    SecretBytes &out) {
  // Callers pass parts of a checked width; the bound also keeps the size
  // arithmetic below from wrapping on 32-bit targets.
  if (part_len == 0 || part_len > kPvkDerCapacity) return false;
  SecretBytes raw(static_cast<size_t>(part_len) + 1, 0);
  if (!reader.Raw(raw.data(), part_len)) return false;
  const uint32_t content_len = (raw[part_len - 1] & 0x80) ? part_len + 1 : part_len;
  std::reverse(raw.begin(), raw.begin() + content_len);
  return EncodeInteger(builder, raw.data(), content_len, out);
}

int Convert(const uint8_t *blob, uint32_t blob_len, uint32_t *out_der_len, uint8_t *out_der) {
  if (blob == nullptr || out_der_len == nullptr) return 0;
  // The public exponent that follows the bit length is not read: the DER
  // form always carries 65537.
  ByteReader reader(blob, blob_len);
  uint32_t bit_len = 0;
  if (!reader.Skip(kBeforeBitLen) || !reader.U32(&bit_len) || !reader.Skip(4)) return 0;
  // A multiple of 16 keeps n even, so the five half-width parts tile the
  // blob exactly and none of them is empty.
  if (bit_len == 0 || bit_len % 16 != 0) return 0;
  const uint32_t n = bit_len / 8;
  const uint32_t h = n / 2;
  // Bounds the allocations below before the exact check at the end; the
  // modulus alone must fit.
  if (n > kPvkDerCapacity) return 0;
  if (reader.Rest() < 2 * size_t{n} + 5 * size_t{h}) return 0;

  // Elements in output order.
  enum { kVersion, kModulus, kPublicExp, kPrivateExp, kPrime1, kPrime2, kExp1, kExp2, kCoeff };
  std::array<SecretBytes, 9> elements;

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
  for (const auto &part : kBlobParts) {
    if (!EncodeBlobPart(builder, reader, part.len, elements[part.element])) return 0;
  }

  builder.Clear();
  for (const SecretBytes &element : elements) {
    const Asn1Part p{static_cast<uint32_t>(element.size()), element.data()};
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

#include "rsa_der.h"

namespace obkey::softtoken {

namespace {

constexpr uint8_t kSequenceTag = 0x30;
constexpr uint8_t kIntegerTag = 0x02;

struct Span {
  const uint8_t *data;
  size_t len;
};

// ReadElement reads one tag-length-value with a definite length and moves
// `*in` past it.
bool ReadElement(Span *in, uint8_t tag, Span *out_value) {
  if (in->len < 2 || in->data[0] != tag) return false;
  size_t pos = 2;
  size_t len = in->data[1];
  if (len & 0x80) {
    size_t count = len & 0x7F;
    // 0x80 would be the indefinite form, which DER never uses.
    if (count == 0 || count > sizeof(uint32_t) || in->len < 2 + count) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = (len << 8) | in->data[2 + i];
    pos += count;
  }
  if (in->len - pos < len) return false;
  *out_value = Span{in->data + pos, len};
  in->data += pos + len;
  in->len -= pos + len;
  return true;
}

void AppendLength(size_t len, obkey::SecretBytes *out) {
  if (len < 0x80) {
    out->push_back(static_cast<uint8_t>(len));
    return;
  }
  uint8_t bytes[sizeof(size_t)];
  size_t count = 0;
  for (size_t v = len; v != 0; v >>= 8) bytes[count++] = static_cast<uint8_t>(v);
  out->push_back(static_cast<uint8_t>(0x80 | count));
  while (count > 0) out->push_back(bytes[--count]);
}

// AppendMinimalInteger writes the INTEGER of the non-negative magnitude in
// `value`, dropping leading zeros and adding one back where the top bit
// would otherwise read as a sign.
bool AppendMinimalInteger(Span value, obkey::SecretBytes *out) {
  if (value.len == 0 || (value.data[0] & 0x80)) return false;
  while (value.len > 1 && value.data[0] == 0) {
    ++value.data;
    --value.len;
  }
  bool needs_sign_byte = (value.data[0] & 0x80) != 0;
  out->push_back(kIntegerTag);
  AppendLength(value.len + (needs_sign_byte ? 1 : 0), out);
  if (needs_sign_byte) out->push_back(0);
  out->insert(out->end(), value.data, value.data + value.len);
  return true;
}

}  // namespace

bool SplitRsaPrivateKeyDer(const uint8_t *der, size_t der_len, RsaKeyParts *out_parts) {
  if (der == nullptr) return false;
  Span in{der, der_len};
  Span sequence{};
  if (!ReadElement(&in, kSequenceTag, &sequence) || in.len != 0) return false;
  RsaKeyParts parts;
  for (RsaKeyPart &part : parts) {
    Span value{};
    if (!ReadElement(&sequence, kIntegerTag, &value)) return false;
    // Negative numbers and empty INTEGERs are no part of a key.
    if (value.len == 0 || (value.data[0] & 0x80)) return false;
    part = RsaKeyPart{value.data, value.len};
  }
  if (sequence.len != 0) return false;
  *out_parts = parts;
  return true;
}

bool EncodeRsaPrivateKeyDer(const RsaKeyParts &parts, obkey::SecretBytes *out_der) {
  // Both buffers grow while they hold the key: each block they free is wiped.
  obkey::SecretBytes contents;
  for (size_t i = 0; i < parts.size(); ++i) {
    const size_t before = contents.size();
    if (!AppendMinimalInteger(Span{parts[i].data, parts[i].len}, &contents)) return false;
    // Only two-prime keys (version 0) exist on this token.
    if (i == 0 && (contents.size() - before != 3 || contents.back() != 0)) return false;
  }
  obkey::SecretBytes result;
  result.push_back(kSequenceTag);
  AppendLength(contents.size(), &result);
  result.insert(result.end(), contents.begin(), contents.end());
  *out_der = std::move(result);
  return true;
}

bool NormalizeRsaPrivateKeyDer(const uint8_t *der, size_t der_len, obkey::SecretBytes *out_der) {
  RsaKeyParts parts;
  return SplitRsaPrivateKeyDer(der, der_len, &parts) && EncodeRsaPrivateKeyDer(parts, out_der);
}

}  // namespace obkey::softtoken

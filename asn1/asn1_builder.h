// asn1_builder.h — a small DER writer: one tag, a definite length and the
// concatenated contents of up to 64 parts.
#ifndef OBKEY_ASN1_ASN1_BUILDER_H
#define OBKEY_ASN1_ASN1_BUILDER_H

#include <array>
#include <cstdint>
#include <memory>

namespace obkey {

// Asn1Part is one piece of content: |len| bytes at |data|. The builder keeps
// only the pointer, so the owner keeps the bytes alive until the last Encode.
struct Asn1Part {
  uint32_t len;
  const uint8_t *data;
};

// CASN1Builder collects parts and writes them as the contents of one DER
// element. It copies no content; it owns only its 10-byte header buffer.
class CASN1Builder {
 public:
  static constexpr int kMaxParts = 64;
  static constexpr uint32_t kMaxContentLen = 0xFFFFFF;  // largest 0x83 length
  static constexpr int kHeaderCapacity = 10;

  CASN1Builder();
  CASN1Builder(const CASN1Builder &) = delete;
  CASN1Builder &operator=(const CASN1Builder &) = delete;

  // Clear forgets every part and the last encoded length.
  void Clear();

  // Add appends |part| after those already added. It returns 0, or -1 with
  // nothing added when 64 parts are already held.
  int Add(const Asn1Part &part);

  // Encode computes the element for |tag| (16 → SEQUENCE 0x30, 17 → SET
  // 0x31, any other value → its low byte) over the parts in the order added.
  // On success it stores the full length (header plus contents) in *out_len,
  // writes the element to |out| unless |out| is null, and returns 0. |out|
  // must have room for that length; call once with null to learn it. It
  // returns -1 and writes nothing when |out_len| is null or the contents
  // reach 16777216 bytes, which no definite length form here can carry.
  int Encode(int tag, uint8_t *out, uint32_t *out_len);

  int32_t count() const { return m_nCount; }
  // total and header_len describe the last successful Encode.
  int32_t total() const { return m_nTotal; }
  int32_t header_len() const { return m_nHeaderLen; }

 private:
  int32_t m_nCount = 0;
  int32_t m_nTotal = 0;
  int32_t m_nHeaderLen = 0;
  std::unique_ptr<uint8_t[]> m_pHeader;
  std::array<Asn1Part, kMaxParts> m_Items{};
};

}  // namespace obkey

#endif  // OBKEY_ASN1_ASN1_BUILDER_H

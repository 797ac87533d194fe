#include "asn1_builder.h"

#include <cstring>

namespace obkey {

CASN1Builder::CASN1Builder() : m_pHeader(new uint8_t[kHeaderCapacity]()) {}

void CASN1Builder::Clear() {
  m_nCount = 0;
  m_nTotal = 0;
}

int CASN1Builder::Add(const Asn1Part &part) {
  if (m_nCount >= kMaxParts) return -1;
  m_Items[m_nCount] = part;
  ++m_nCount;
  return 0;
}

int CASN1Builder::Encode(int tag, uint8_t *out, uint32_t *out_len) {
  if (out_len == nullptr) return -1;

  // Summed in 64 bits so that 64 large parts cannot wrap past the limit.
  uint64_t content_len = 0;
  for (int32_t i = 0; i < m_nCount; ++i) content_len += m_Items[i].len;
  if (content_len > kMaxContentLen) return -1;
  const uint32_t len = static_cast<uint32_t>(content_len);

  uint8_t *header = m_pHeader.get();
  if (tag == 16) {
    header[0] = 0x30;
  } else if (tag == 17) {
    header[0] = 0x31;
  } else {
    header[0] = static_cast<uint8_t>(tag & 0xFF);
  }

  int32_t header_len;
  if (len < 0x80) {
    header[1] = static_cast<uint8_t>(len);
    header_len = 2;
  } else if (len < 0x100) {
    header[1] = 0x81;
    header[2] = static_cast<uint8_t>(len);
    header_len = 3;
  } else if (len < 0x10000) {
    header[1] = 0x82;
    header[2] = static_cast<uint8_t>(len >> 8);
    header[3] = static_cast<uint8_t>(len);
    header_len = 4;
  } else {
    header[1] = 0x83;
    header[2] = static_cast<uint8_t>(len >> 16);
    header[3] = static_cast<uint8_t>(len >> 8);
    header[4] = static_cast<uint8_t>(len);
    header_len = 5;
  }

  m_nHeaderLen = header_len;
  m_nTotal = static_cast<int32_t>(len) + header_len;
  *out_len = static_cast<uint32_t>(m_nTotal);

  if (out != nullptr) {
    std::memcpy(out, header, static_cast<size_t>(header_len));
    uint8_t *pos = out + header_len;
    for (int32_t i = 0; i < m_nCount; ++i) {
      // memcpy from a null pointer is undefined even for zero bytes.
      if (m_Items[i].len == 0) continue;
      std::memcpy(pos, m_Items[i].data, m_Items[i].len);
      pos += m_Items[i].len;
    }
  }
  return 0;
}

}  // namespace obkey

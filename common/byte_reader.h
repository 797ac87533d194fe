// byte_reader.h — reading and writing little-endian records without raw
// offsets: ByteReader refuses to read past its end, ByteWriter appends to a
// buffer that wipes what it frees. Header-only, for obkey and the libraries
// beside it.
#ifndef OBKEY_COMMON_BYTE_READER_H
#define OBKEY_COMMON_BYTE_READER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_order.h"
#include "wiping_allocator.h"

namespace obkey {

class ByteWriter {
 public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) {
    uint8_t word[2];
    StoreLe16(word, v);
    Raw(word, sizeof(word));
  }
  void U32(uint32_t v) {
    uint8_t word[4];
    StoreLe32(word, v);
    Raw(word, sizeof(word));
  }
  void Raw(const uint8_t *data, size_t len) { bytes_.insert(bytes_.end(), data, data + len); }
  template <size_t N>
  void Raw(const std::array<uint8_t, N> &a) {
    Raw(a.data(), N);
  }
  template <typename Buffer>
  void Blob16(const Buffer &blob) {
    U16(static_cast<uint16_t>(blob.size()));
    Raw(blob.data(), blob.size());
  }
  SecretBytes &bytes() { return bytes_; }

 private:
  // What is written holds private keys; growing it must not leave copies.
  SecretBytes bytes_;
};

// ByteReader fails (returns false) instead of reading past the end; once
// failed it stays failed so callers may check once at the end of a group.
class ByteReader {
 public:
  ByteReader(const uint8_t *data, size_t len) : data_(data), len_(len) {}

  bool U8(uint8_t *out) {
    return Take(1, [&](const uint8_t *p) { *out = p[0]; });
  }
  bool U16(uint16_t *out) {
    return Take(2, [&](const uint8_t *p) { *out = LoadLe16(p); });
  }
  bool U32(uint32_t *out) {
    return Take(4, [&](const uint8_t *p) { *out = LoadLe32(p); });
  }
  bool Raw(uint8_t *out, size_t len) {
    return Take(len, [&](const uint8_t *p) { std::memcpy(out, p, len); });
  }
  template <size_t N>
  bool Raw(std::array<uint8_t, N> *out) {
    return Raw(out->data(), N);
  }
  template <typename Buffer>
  bool Bytes(size_t len, Buffer *out) {
    return Take(len, [&](const uint8_t *p) { out->assign(p, p + len); });
  }
  template <typename Buffer>
  bool Blob16(size_t max_len, Buffer *out) {
    uint16_t len = 0;
    return U16(&len) && len <= max_len && Bytes(len, out);
  }
  bool Skip(size_t len) {
    return Take(len, [](const uint8_t *) {});
  }
  bool AtEnd() const { return ok_ && pos_ == len_; }
  // Rest is what is left to read (0 after a failure).
  size_t Rest() const { return ok_ ? len_ - pos_ : 0; }
  // Here is where the next read starts.
  const uint8_t *Here() const { return data_ + pos_; }

 private:
  template <typename F>
  bool Take(size_t n, F consume) {
    if (!ok_ || len_ - pos_ < n) return ok_ = false;
    consume(data_ + pos_);
    pos_ += n;
    return true;
  }

  const uint8_t *data_;
  size_t len_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace obkey

#endif  // OBKEY_COMMON_BYTE_READER_H

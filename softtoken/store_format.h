// store_format.h — the byte layout of a token store file.
//
// Header (56 bytes): magic "OBKEYTOK", format version (u32, 4), body length
// (u32), SHA-256 (32 bytes) of everything after it, generation (u64). All
// integers little-endian. Version 3 files (PBKDF2 PIN derivations), version
// 2 files (the same header, keys in the clear) and version 1 files (48-byte
// header, no generation, SHA-256 of the body) are still read. The body
// layout is documented in README.md.
#ifndef OBKEY_SOFTTOKEN_STORE_FORMAT_H
#define OBKEY_SOFTTOKEN_STORE_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "token_state.h"

namespace obkey::softtoken {

constexpr uint32_t kStoreFormatVersion = 4;
// Version 3 had the user PIN under PBKDF2 and the token key wrapped with a
// salt of its own; it moves to scrypt at the first successful PIN check.
constexpr uint32_t kStoreFormatVersion3 = 3;
constexpr size_t kStoreHeaderSize = 56;
// Version 2 had no sealed keys and no token key; its keys are read in the
// clear and sealed at the first successful PIN check.
constexpr uint32_t kStoreFormatVersion2 = 2;
// Version 1 had no generation; such a store is read as generation 0 and
// written as version 2 at its next change.
constexpr uint32_t kStoreFormatVersion1 = 1;
constexpr size_t kStoreHeaderSize1 = 48;
constexpr size_t kStoreChecksumOffset = 16;
constexpr size_t kStoreChecksumSize = 32;
// The checksum covers every byte from here on: version 2's generation and
// the body, or version 1's body.
constexpr size_t kStoreChecksummedOffset = 48;
// Far above the largest valid store; a bigger file is refused unread.
constexpr size_t kMaxStoreSize = 1024 * 1024;

// StoreStamp names one committed content of a store: its generation (bumped
// by every write) and its checksum. Two files with equal stamps hold the same
// token, whichever process wrote them.
struct StoreStamp {
  uint64_t generation = 0;
  std::array<uint8_t, kStoreChecksumSize> checksum{};

  bool operator==(const StoreStamp &other) const {
    return generation == other.generation && checksum == other.checksum;
  }
  bool operator!=(const StoreStamp &other) const { return !(*this == other); }
};

// SerializeStore returns the complete store file for `state` at `generation`
// (it holds the private keys: its buffer wipes what it frees). The token
// writes only the current version; `format_version` 3 or 2 (older layouts,
// for tests of old stores) throws std::invalid_argument for a state that
// layout cannot hold (a scrypt PIN; for 2, sealed keys or a token key).
SecretBytes SerializeStore(const TokenState &state, uint64_t generation,
                           uint32_t format_version = kStoreFormatVersion);

// ParseStore reads a complete store file. It returns 0 and fills `*out_state`
// (and `*out_stamp` when not null) only when the whole file is valid;
// otherwise it returns XCST_STORE_CORRUPT (truncated, checksum or layout
// error), XCST_STORE_VERSION, or XCST_STORE_BAD_KEY (a private key in the
// clear beside a token key) and leaves both alone.
int32_t ParseStore(const uint8_t *file, size_t file_len, TokenState *out_state,
                   StoreStamp *out_stamp = nullptr);
template <typename Allocator>
int32_t ParseStore(const std::vector<uint8_t, Allocator> &file, TokenState *out_state,
                   StoreStamp *out_stamp = nullptr) {
  return ParseStore(file.data(), file.size(), out_state, out_stamp);
}

// CheckStoreFile checks a complete store file's header and checksum, not
// its body's layout, and gives its stamp. Returns 0, XCST_STORE_CORRUPT or
// XCST_STORE_VERSION (then `*out_stamp` is left alone).
int32_t CheckStoreFile(const uint8_t *file, size_t file_len, StoreStamp *out_stamp);

// ReadStoreStamp takes the stamp from the first `len` bytes of a store file
// without looking at the body, so it proves nothing about the file's
// integrity. Returns false when they are not a complete header of a version
// this code reads.
bool ReadStoreStamp(const uint8_t *header, size_t len, StoreStamp *out_stamp);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_STORE_FORMAT_H

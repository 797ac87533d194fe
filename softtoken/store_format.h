// store_format.h — the byte layout of a token store file.
//
// Header (48 bytes): magic "OBKEYTOK", format version (u32), body length
// (u32), SHA-256 of the body (32 bytes). All integers little-endian. The body
// layout is documented in README.md.
#ifndef OBKEY_SOFTTOKEN_STORE_FORMAT_H
#define OBKEY_SOFTTOKEN_STORE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "softtoken/token_state.h"

namespace obkey::softtoken {

constexpr uint32_t kStoreFormatVersion = 1;
constexpr size_t kStoreHeaderSize = 48;
// Far above the largest valid store; a bigger file is refused unread.
constexpr size_t kMaxStoreSize = 1024 * 1024;

// SerializeStore returns the complete store file for `state`.
std::vector<uint8_t> SerializeStore(const TokenState &state);

// ParseStore reads a complete store file. It returns 0 and fills `*out_state`
// only when the whole file is valid; otherwise it returns XCST_STORE_CORRUPT
// (truncated, checksum or layout error) or XCST_STORE_VERSION and leaves
// `*out_state` alone.
int32_t ParseStore(const std::vector<uint8_t> &file, TokenState *out_state);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_STORE_FORMAT_H

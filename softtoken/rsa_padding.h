// rsa_padding.h — PKCS #1 v1.5 block formatting for 128-byte RSA blocks.
#ifndef OBKEY_SOFTTOKEN_RSA_PADDING_H
#define OBKEY_SOFTTOKEN_RSA_PADDING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace obkey::softtoken {

constexpr size_t kRsaBlock = 128;
// 00, block type, at least eight padding bytes, 00.
constexpr size_t kPkcs1Overhead = 11;
constexpr size_t kMaxPkcs1Payload = kRsaBlock - kPkcs1Overhead;

enum class Pkcs1BlockType : uint8_t { kSignature = 1, kEncryption = 2 };

using RsaBlock = std::array<uint8_t, kRsaBlock>;

// Pkcs1Pad formats `payload` (at most kMaxPkcs1Payload bytes) as a block of
// `type`: 0xFF padding for signatures, random nonzero bytes for encryption.
// Returns false when the payload is too long or random bytes are unavailable.
bool Pkcs1Pad(Pkcs1BlockType type, const uint8_t *payload, size_t payload_len, RsaBlock *out);

// Pkcs1Unpad returns true and the payload when `block` is a well-formed block
// of `type`; false otherwise.
bool Pkcs1Unpad(Pkcs1BlockType type, const RsaBlock &block, std::vector<uint8_t> *out_payload);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_RSA_PADDING_H

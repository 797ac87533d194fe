// rsa_padding.h — the PKCS #1 v1.5 block rules of the token interface, for
// 128-byte RSA blocks. The software token and p11token both apply them, so
// that obkey sees the same answers from either token library.
#ifndef OBKEY_TOKENRULES_RSA_PADDING_H
#define OBKEY_TOKENRULES_RSA_PADDING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "wiping_allocator.h"

namespace obkey {

constexpr size_t kRsaBlock = 128;
// 00, block type, at least eight padding bytes, 00.
constexpr size_t kPkcs1Overhead = 11;
constexpr size_t kMaxPkcs1Payload = kRsaBlock - kPkcs1Overhead;

enum class Pkcs1BlockType : uint8_t { kSignature = 1, kEncryption = 2 };

using RsaBlock = std::array<uint8_t, kRsaBlock>;

// RandomBytes fills its buffer and returns true, or returns false.
using RandomBytes = std::function<bool(uint8_t *out, size_t len)>;

// OpenSslRandomBytes draws from OpenSSL's generator.
bool OpenSslRandomBytes(uint8_t *out, size_t len);

// Pkcs1Pad formats `payload` (at most kMaxPkcs1Payload bytes) as a block of
// `type`: 0xFF padding for signatures, nonzero bytes from `random` for
// encryption. Returns false when the payload is too long or `random` fails
// (a source that keeps giving zero bytes counts as failing).
bool Pkcs1Pad(Pkcs1BlockType type, const uint8_t *payload, size_t payload_len,
              const RandomBytes &random, RsaBlock *out);

// Pkcs1Unpad returns true and the payload when `block` is a well-formed block
// of `type` (00, type, at least eight padding bytes, 00); false otherwise.
bool Pkcs1Unpad(Pkcs1BlockType type, const RsaBlock &block, std::vector<uint8_t> *out_payload);

// PayloadOrBlock is what a decryption or a signature check hands back: the
// payload of a well-formed block of `type`, else the whole raw block.
SecretBytes PayloadOrBlock(Pkcs1BlockType type, const RsaBlock &block);

}  // namespace obkey

#endif  // OBKEY_TOKENRULES_RSA_PADDING_H

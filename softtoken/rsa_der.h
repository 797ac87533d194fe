// rsa_der.h — reading a PKCS #1 RSAPrivateKey as obkey's key import writes it.
#ifndef OBKEY_SOFTTOKEN_RSA_DER_H
#define OBKEY_SOFTTOKEN_RSA_DER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "wiping_allocator.h"

namespace obkey::softtoken {

// NormalizeRsaPrivateKeyDer reads a DER SEQUENCE of nine non-negative
// INTEGERs (version 0, n, e, d, p, q, dP, dQ, qInv) and writes the same key
// in strict DER to `*out_der`. It accepts what strict DER readers refuse but
// obkey produces: INTEGERs with redundant leading zero bytes, and long-form
// lengths that could have been shorter. Returns false (output untouched) for
// anything else: wrong tags, truncation, trailing bytes, a negative INTEGER,
// a nonzero version.
bool NormalizeRsaPrivateKeyDer(const uint8_t *der, size_t der_len, obkey::SecretBytes *out_der);

// The nine INTEGERs of an RSAPrivateKey in their order: version, n, e, d, p,
// q, dP, dQ, qInv.
constexpr size_t kRsaPrivateKeyParts = 9;

// RsaKeyPart is one of them: a big-endian magnitude, possibly with leading
// zero bytes, that the caller owns (or that points into DER it owns).
struct RsaKeyPart {
  const uint8_t *data = nullptr;
  size_t len = 0;
};
using RsaKeyParts = std::array<RsaKeyPart, kRsaPrivateKeyParts>;

// SplitRsaPrivateKeyDer finds the nine INTEGERs of DER that
// NormalizeRsaPrivateKeyDer accepts; the parts point into `der`. Returns
// false (output untouched) for anything it would refuse.
bool SplitRsaPrivateKeyDer(const uint8_t *der, size_t der_len, RsaKeyParts *out_parts);

// EncodeRsaPrivateKeyDer writes nine magnitudes as strict DER, without
// OpenSSL's encoder (which leaves copies of what it encodes in memory it
// frees). Returns false when a part is empty or the version is not 0.
bool EncodeRsaPrivateKeyDer(const RsaKeyParts &parts, obkey::SecretBytes *out_der);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_RSA_DER_H

// rsa_blocks.h — what the library does in software around the token's raw
// RSA besides the block rules it shares with the software token
// (softtoken/rsa_padding.h): the modulus check, reading the private-key DER
// that obkey hands over, and the subject of a certificate.
#ifndef OBKEY_P11TOKEN_RSA_BLOCKS_H
#define OBKEY_P11TOKEN_RSA_BLOCKS_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <functional>
#include <vector>

#include "rsa_padding.h"

namespace obkey::p11token {

// BelowModulus says whether the big-endian `block` is less than `modulus`
// (big-endian, kRsaBlock bytes).
bool BelowModulus(const RsaBlock &block, const RsaBlock &modulus);

// RsaExponent is a public exponent, big-endian, right-aligned.
using RsaExponent = std::array<uint8_t, 8>;

// MadeByKey says whether `result`, raised to `exponent` modulo `modulus`,
// gives `input` back: whether the private half of that public key turned
// `input` into `result` (a signature or a decryption).
bool MadeByKey(const RsaBlock &input, const RsaBlock &result, const RsaBlock &modulus,
               const RsaExponent &exponent);

// RsaPrivateKey holds the eight numbers of a two-prime PKCS #1 key,
// big-endian, without leading zero bytes. The destructor wipes them.
struct RsaPrivateKey {
  std::vector<uint8_t> n, e, d, p, q, dp, dq, qinv;
  RsaPrivateKey() = default;
  RsaPrivateKey(const RsaPrivateKey &) = delete;
  RsaPrivateKey &operator=(const RsaPrivateKey &) = delete;
  ~RsaPrivateKey();
};

// ReadRsaPrivateKey reads a PKCS #1 RSAPrivateKey. INTEGERs may carry
// redundant leading zero bytes and lengths may use longer forms than needed
// (obkey's key import writes them so); negative numbers, other versions than
// 0, missing or trailing bytes are refused (false).
bool ReadRsaPrivateKey(const uint8_t *der, size_t der_len, RsaPrivateKey *out_key);

// CheckRsaPrivateKey returns true when `key` is a consistent 1024-bit key
// with public exponent 65537 (OpenSSL's pairwise check).
bool CheckRsaPrivateKey(const RsaPrivateKey &key);

// CertificateSubject stores the DER of the subject name of an X.509
// certificate, or empties `*out_subject` when `cert` is not one.
void CertificateSubject(const uint8_t *cert, size_t cert_len, std::vector<uint8_t> *out_subject);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_RSA_BLOCKS_H

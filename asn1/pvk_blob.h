// pvk_blob.h — converts a CryptoAPI RSA private-key blob into the DER
// RSAPrivateKey structure of PKCS #1 that the token accepts.
#ifndef OBKEY_ASN1_PVK_BLOB_H
#define OBKEY_ASN1_PVK_BLOB_H

#include <cstdint>

namespace obkey {

// kPvkDerCapacity is the size of the buffer the private-key import converts
// into; no DER form longer than this is produced. A 1024-bit key needs at
// most 611 bytes.
constexpr uint32_t kPvkDerCapacity = 624;

// PvkBlobASN1Encode converts the private-key blob of |blob_len| bytes at
// |blob| (bit length at offset 12, the key parts little-endian from offset
// 20) into a DER RSAPrivateKey: version 0, modulus, public exponent 65537
// whatever the blob holds, private exponent, prime1, prime2, exponent1,
// exponent2, coefficient. Each INTEGER keeps the full width of its blob part,
// leading zero bytes included, with 0x00 put in front only when the top bit
// is set.
//
// On success it stores the DER length in *out_der_len, writes the DER bytes
// to |out_der| unless |out_der| is null (a length query), and returns 1.
// |out_der| must have room for kPvkDerCapacity bytes.
//
// It returns 0 and writes nothing, leaving *out_der_len as the caller set
// it, when |blob| or |out_der_len| is null, the bit length is 0 or not a
// multiple of 16, the blob is shorter than 20 + 2n + 5h bytes (n = bit
// length / 8, h = n / 2), the DER form would exceed kPvkDerCapacity, or
// memory runs out.
int PvkBlobASN1Encode(const uint8_t *blob, uint32_t blob_len, uint32_t *out_der_len,
                      uint8_t *out_der);

// PvkBlobASN1Encode with a caller's record that has |cbData| and |pbData|
// (the public DataBlob): |pbData| is the output or null, |cbData| receives
// the length and is untouched on failure. A null |result| returns 0.
template <typename Record>
int PvkBlobASN1Encode(const uint8_t *blob, uint32_t blob_len, Record *result) {
  if (result == nullptr) return 0;
  uint32_t der_len = 0;
  if (PvkBlobASN1Encode(blob, blob_len, &der_len, result->pbData) != 1) return 0;
  result->cbData = der_len;
  return 1;
}

}  // namespace obkey

#endif  // OBKEY_ASN1_PVK_BLOB_H

// obkeyctl's readers of PEM keys, certificates and CryptoAPI key blobs, on
// any bytes. What they accept has the layout they promise, and what one
// writes the other reads back: a public blob turned into PEM gives the
// blob's modulus and exponent in the wrapping record; a certificate read as
// PEM or DER comes back as the same DER.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rsa_blobs.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBlobHeaderLen = 20;
constexpr size_t kRecordLen = 4 + 2 * 256;

uint32_t ReadLe32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool SameNumber(const uint8_t *little_endian, size_t little_len, const uint8_t *big_endian,
                size_t big_len) {
  BIGNUM *a = BN_lebin2bn(little_endian, static_cast<int>(little_len), nullptr);
  BIGNUM *b = BN_bin2bn(big_endian, static_cast<int>(big_len), nullptr);
  bool same = a != nullptr && b != nullptr && BN_cmp(a, b) == 0;
  BN_free(a);
  BN_free(b);
  return same;
}

void CheckPrivatePem(const Bytes &input) {
  obkey::SecretBytes blob;
  if (!obkeyctl::PemToPrivateBlob(obkey::SecretBytes(input.begin(), input.end()), &blob)) return;
  if (blob.size() < kBlobHeaderLen || ReadLe32(blob.data() + 8) != 0x32415352) __builtin_trap();
  size_t n = ReadLe32(blob.data() + 12) / 8;
  if (blob.size() != kBlobHeaderLen + 2 * n + 5 * (n / 2)) __builtin_trap();
}

void CheckPublicBlob(const Bytes &input) {
  std::string pem;
  if (!obkeyctl::PublicBlobToPem(input, &pem)) return;
  Bytes record;
  // The record takes keys of up to 2048 bits, and the PEM reader refuses
  // keys that the blob reader lets through (a zero exponent, say).
  if (!obkeyctl::PemToRsaPublicKeyRecord(Bytes(pem.begin(), pem.end()), &record)) return;
  size_t modulus_len = ReadLe32(input.data() + 12) / 8;
  if (record.size() != kRecordLen ||
      !SameNumber(input.data() + kBlobHeaderLen, modulus_len, record.data() + 4, 256) ||
      !SameNumber(input.data() + 16, 4, record.data() + 4 + 256, 256)) {
    __builtin_trap();
  }
}

void CheckPublicPem(const Bytes &input) {
  Bytes record;
  if (obkeyctl::PemToRsaPublicKeyRecord(input, &record) && record.size() != kRecordLen) {
    __builtin_trap();
  }
}

void CheckCertificate(const Bytes &input) {
  Bytes der;
  if (!obkeyctl::CertificateToDer(input, &der)) return;
  std::string pem;
  Bytes again;
  if (!obkeyctl::CertificateToPem(der, &pem) ||
      !obkeyctl::CertificateToDer(Bytes(pem.begin(), pem.end()), &again) || again != der) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const Bytes input(data + 1, data + size);
  switch (data[0] % 4) {
    case 0:
      CheckPrivatePem(input);
      break;
    case 1:
      CheckPublicBlob(input);
      break;
    case 2:
      CheckPublicPem(input);
      break;
    default:
      CheckCertificate(input);
      break;
  }
  return 0;
}

// The token's reader of the RSAPrivateKey DER that key import writes. What
// it accepts it writes as strict DER: reading that again gives the same
// bytes, and OpenSSL's generic DER reader finds nine non-negative INTEGERs
// in a SEQUENCE and encodes them back byte for byte.
#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rsa_der.h"

namespace {

bool IsStrictKeyDer(const obkey::SecretBytes &der) {
  const unsigned char *cursor = der.data();
  ASN1_SEQUENCE_ANY *items = d2i_ASN1_SEQUENCE_ANY(nullptr, &cursor, static_cast<long>(der.size()));
  if (items == nullptr) return false;
  bool strict = cursor == der.data() + der.size() && sk_ASN1_TYPE_num(items) == 9;
  for (int i = 0; strict && i < 9; ++i) {
    const ASN1_TYPE *item = sk_ASN1_TYPE_value(items, i);
    strict = ASN1_TYPE_get(item) == V_ASN1_INTEGER;
  }
  unsigned char *encoded = nullptr;
  int encoded_len = strict ? i2d_ASN1_SEQUENCE_ANY(items, &encoded) : -1;
  strict = strict && encoded_len == static_cast<int>(der.size()) &&
           std::equal(der.begin(), der.end(), encoded);
  OPENSSL_free(encoded);
  sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
  return strict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A heap copy of exactly `size` bytes, so that any over-read is caught.
  const std::vector<uint8_t> der(data, data + size);
  obkey::SecretBytes strict;
  if (!obkey::softtoken::NormalizeRsaPrivateKeyDer(der.data(), der.size(), &strict)) return 0;
  obkey::SecretBytes again;
  if (!obkey::softtoken::NormalizeRsaPrivateKeyDer(strict.data(), strict.size(), &again) ||
      again != strict) {
    __builtin_trap();
  }
  if (!IsStrictKeyDer(strict)) __builtin_trap();
  return 0;
}

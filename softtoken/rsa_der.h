// rsa_der.h — reading a PKCS #1 RSAPrivateKey as obkey's key import writes it.
#ifndef OBKEY_SOFTTOKEN_RSA_DER_H
#define OBKEY_SOFTTOKEN_RSA_DER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace obkey::softtoken {

// NormalizeRsaPrivateKeyDer reads a DER SEQUENCE of nine non-negative
// INTEGERs (version 0, n, e, d, p, q, dP, dQ, qInv) and writes the same key
// in strict DER to `*out_der`. It accepts what strict DER readers refuse but
// obkey produces: INTEGERs with redundant leading zero bytes, and long-form
// lengths that could have been shorter. Returns false (output untouched) for
// anything else: wrong tags, truncation, trailing bytes, a negative INTEGER,
// a nonzero version.
bool NormalizeRsaPrivateKeyDer(const uint8_t *der, size_t der_len, std::vector<uint8_t> *out_der);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_RSA_DER_H

// Installation of the authority's answer on the token.
#ifndef OBKEY_ENROLLSIM_INSTALL_H
#define OBKEY_ENROLLSIM_INSTALL_H

#include <stdint.h>

namespace obkey::enrollsim {

// InstallSignatureCert reads a PKCS #7 bundle from `pkcs7` (PEM, or the bare
// base64 of its DER) and writes the bundle's certificate whose public key is
// the token's signature key to the signature container.
int32_t InstallSignatureCert(const char *pkcs7);

// The six values of the answer, in the order certKmcReq1..3, certKmcRep1..3.
inline constexpr int kSealValueCount = 6;
inline constexpr int kEncryptionCertValue = 3;  // certKmcRep1

// InstallSeal checks that every value is present (not null, not empty, not
// "-1") and writes the encryption certificate of certKmcRep1 (base64 DER)
// to the exchange container when it holds the token's exchange key.
int32_t InstallSeal(const char *const values[kSealValueCount]);

}  // namespace obkey::enrollsim

#endif  // OBKEY_ENROLLSIM_INSTALL_H

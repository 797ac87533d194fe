// Owning pointers for the OpenSSL objects the stand-in uses, and base64.
#ifndef OBKEY_ENROLLSIM_OSSL_H
#define OBKEY_ENROLLSIM_OSSL_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <stdint.h>

#include <memory>
#include <vector>

namespace obkey::enrollsim {

template <typename T, void (*Free)(T *)>
struct OsslFree {
  void operator()(T *object) const { Free(object); }
};
template <typename T, void (*Free)(T *)>
using OsslPtr = std::unique_ptr<T, OsslFree<T, Free>>;

using Pkey = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using X509Ptr = OsslPtr<X509, X509_free>;
using X509Name = OsslPtr<X509_NAME, X509_NAME_free>;
using X509Req = OsslPtr<X509_REQ, X509_REQ_free>;
using Pkcs7 = OsslPtr<PKCS7, PKCS7_free>;

inline void BioFreeAll(BIO *bio) {
  BIO_free_all(bio);
}
using Bio = OsslPtr<BIO, BioFreeAll>;

// DecodeBase64 decodes `text`, ignoring line breaks and blanks. Returns false
// for anything else that is not base64, and for an empty result.
bool DecodeBase64(const char *text, std::vector<uint8_t> *out_bytes);

// ReadPkcs7 reads a PKCS #7 bundle written as PEM or as the bare base64 of
// its DER (which must be consumed whole). Null for anything else.
Pkcs7 ReadPkcs7(const char *text);

// ReadBase64Certificate reads a certificate given as the base64 of its DER
// (consumed whole). Null for anything else.
X509Ptr ReadBase64Certificate(const char *text);

// DerOf encodes a certificate; empty on failure.
std::vector<uint8_t> DerOf(X509 *cert);

}  // namespace obkey::enrollsim

#endif  // OBKEY_ENROLLSIM_OSSL_H

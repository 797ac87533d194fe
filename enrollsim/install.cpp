#include "install.h"

#include <cstring>

#include "enrollsim_status.h"
#include "ossl.h"
#include "token_keys.h"

namespace obkey::enrollsim {

namespace {

// A value that the caller could not fill: empty, or the "-1" of a lookup
// that found no usable XML DOM.
bool IsMissing(const char *value) {
  return value == nullptr || value[0] == '\0' || std::strcmp(value, "-1") == 0;
}

}  // namespace

int32_t InstallSignatureCert(const char *pkcs7) {
  Pkcs7 bundle = ReadPkcs7(pkcs7);
  if (!bundle || !PKCS7_type_is_signed(bundle.get()) || bundle->d.sign == nullptr) {
    return VEST_BAD_PKCS7;
  }
  STACK_OF(X509) *certs = bundle->d.sign->cert;
  if (certs == nullptr || sk_X509_num(certs) == 0) return VEST_BAD_PKCS7;

  TokenSession session;
  XcHandle container = 0;
  Pkey token_key;
  if (int32_t status = OpenKey(session, kSignatureKey, &container, &token_key)) return status;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    int32_t status = WriteMatchingCert(container, kSignatureKey.key_type, token_key.get(),
                                       sk_X509_value(certs, i), VEST_NO_MATCHING_CERT);
    if (status != VEST_NO_MATCHING_CERT) return status;
  }
  return VEST_NO_MATCHING_CERT;
}

int32_t InstallSeal(const char *const values[kSealValueCount]) {
  for (int i = 0; i < kSealValueCount; ++i) {
    if (IsMissing(values[i])) return VEST_MISSING_VALUE;
  }
  X509Ptr cert = ReadBase64Certificate(values[kEncryptionCertValue]);
  if (!cert) return VEST_BAD_CERT;

  TokenSession session;
  XcHandle container = 0;
  Pkey token_key;
  if (int32_t status = OpenKey(session, kExchangeKey, &container, &token_key)) return status;
  return WriteMatchingCert(container, kExchangeKey.key_type, token_key.get(), cert.get(),
                           VEST_KEY_MISMATCH);
}

}  // namespace obkey::enrollsim

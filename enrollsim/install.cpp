#include "enrollsim/install.h"

#include <openssl/pem.h>

#include <cstring>
#include <vector>

#include "enrollsim/enrollsim_status.h"
#include "enrollsim/ossl.h"
#include "enrollsim/token_keys.h"

namespace obkey::enrollsim {

namespace {

Pkcs7 ReadPkcs7(const char *text) {
  if (std::strstr(text, "-----BEGIN") != nullptr) {
    Bio memory(BIO_new_mem_buf(text, -1));
    if (!memory) return nullptr;
    return Pkcs7(PEM_read_bio_PKCS7(memory.get(), nullptr, nullptr, nullptr));
  }
  std::vector<uint8_t> der;
  if (!DecodeBase64(text, &der)) return nullptr;
  const unsigned char *cursor = der.data();
  Pkcs7 bundle(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
  if (cursor != der.data() + der.size()) return nullptr;
  return bundle;
}

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
  std::vector<uint8_t> der;
  if (!DecodeBase64(values[kEncryptionCertValue], &der)) return VEST_BAD_CERT;
  const unsigned char *cursor = der.data();
  X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cert || cursor != der.data() + der.size()) return VEST_BAD_CERT;

  TokenSession session;
  XcHandle container = 0;
  Pkey token_key;
  if (int32_t status = OpenKey(session, kExchangeKey, &container, &token_key)) return status;
  return WriteMatchingCert(container, kExchangeKey.key_type, token_key.get(), cert.get(),
                           VEST_KEY_MISMATCH);
}

}  // namespace obkey::enrollsim

// The installation answer as the enrollment stand-in reads it: a PKCS #7
// bundle (PEM or bare base64) and a base64 certificate. Every certificate
// read encodes to DER that reads back and encodes to the same bytes; base64 that
// the stand-in's decoder accepts is exactly what an encoder wrote.
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ossl.h"

namespace {

void CheckCertificate(X509 *cert) {
  std::vector<uint8_t> der = obkey::enrollsim::DerOf(cert);
  // The installer compares the certificate's key with the token's.
  X509_get0_pubkey(cert);
  if (der.empty()) return;
  const unsigned char *cursor = der.data();
  obkey::enrollsim::X509Ptr again(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  // X509_cmp is no judge here: it answers -2 for a certificate whose
  // extensions OpenSSL cannot cache, however faithfully it was read.
  if (!again || cursor != der.data() + der.size() || obkey::enrollsim::DerOf(again.get()) != der) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);

  obkey::enrollsim::Pkcs7 bundle = obkey::enrollsim::ReadPkcs7(text.c_str());
  if (bundle && PKCS7_type_is_signed(bundle.get()) && bundle->d.sign != nullptr &&
      bundle->d.sign->cert != nullptr) {
    STACK_OF(X509) *certs = bundle->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certs); ++i) CheckCertificate(sk_X509_value(certs, i));
  }
  if (obkey::enrollsim::X509Ptr cert = obkey::enrollsim::ReadBase64Certificate(text.c_str())) {
    CheckCertificate(cert.get());
  }

  // The input as bytes: encoded, then decoded by the stand-in.
  if (size == 0 || size > 4096) return 0;
  std::vector<unsigned char> encoded(4 * ((size + 2) / 3) + 1);
  int encoded_len = EVP_EncodeBlock(encoded.data(), data, static_cast<int>(size));
  std::vector<uint8_t> decoded;
  if (encoded_len <= 0 ||
      !obkey::enrollsim::DecodeBase64(reinterpret_cast<const char *>(encoded.data()), &decoded) ||
      decoded != std::vector<uint8_t>(data, data + size)) {
    __builtin_trap();
  }
  return 0;
}

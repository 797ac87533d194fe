#include "ossl.h"

#include <openssl/pem.h>

#include <cstring>

namespace obkey::enrollsim {

bool DecodeBase64(const char *text, std::vector<uint8_t> *out_bytes) {
  size_t text_len = std::strlen(text);
  if (text_len == 0 || text_len > 0x7FFFFFF0u) return false;
  // Decoding never yields more bytes than it reads.
  std::vector<uint8_t> bytes(text_len + 80);
  EVP_ENCODE_CTX *context = EVP_ENCODE_CTX_new();
  if (context == nullptr) return false;
  EVP_DecodeInit(context);
  int part_len = 0, final_len = 0;
  bool ok = EVP_DecodeUpdate(context, bytes.data(), &part_len,
                             reinterpret_cast<const unsigned char *>(text),
                             static_cast<int>(text_len)) >= 0 &&
            EVP_DecodeFinal(context, bytes.data() + part_len, &final_len) == 1;
  EVP_ENCODE_CTX_free(context);
  if (!ok || part_len + final_len == 0) return false;
  bytes.resize(static_cast<size_t>(part_len + final_len));
  *out_bytes = std::move(bytes);
  return true;
}

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

X509Ptr ReadBase64Certificate(const char *text) {
  std::vector<uint8_t> der;
  if (!DecodeBase64(text, &der)) return nullptr;
  const unsigned char *cursor = der.data();
  X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (cursor != der.data() + der.size()) return nullptr;
  return cert;
}

std::vector<uint8_t> DerOf(X509 *cert) {
  int len = i2d_X509(cert, nullptr);
  if (len <= 0) return {};
  std::vector<uint8_t> der(static_cast<size_t>(len));
  unsigned char *cursor = der.data();
  if (i2d_X509(cert, &cursor) != len) return {};
  return der;
}

}  // namespace obkey::enrollsim

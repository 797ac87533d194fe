#include "certificates.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "rsa_blobs.h"

namespace obkeyctl {
namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bundle = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string NameText(const X509_NAME *name) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0)
    return "";
  char *text = nullptr;
  long len = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<size_t>(len));
}

std::string TimeText(const ASN1_TIME *time) {
  struct tm parts {};
  if (ASN1_TIME_to_tm(time, &parts) != 1) return "";
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d UTC", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

Bundle ParseBundle(const std::string &text) {
  if (text.find("-----BEGIN PKCS7-----") != std::string::npos) {
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    return Bundle(PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr));
  }
  Bytes der;
  if (!Base64Decode(text, &der) || der.empty()) return nullptr;
  const unsigned char *cursor = der.data();
  return Bundle(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
}

}  // namespace

bool DescribeCertificate(const Bytes &der, CertificateFacts *out_facts) {
  const unsigned char *cursor = der.data();
  Certificate cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cert || cursor != der.data() + der.size()) return false;
  out_facts->subject = NameText(X509_get_subject_name(cert.get()));
  out_facts->issuer = NameText(X509_get_issuer_name(cert.get()));
  out_facts->not_after = TimeText(X509_get0_notAfter(cert.get()));
  unsigned char *key = nullptr;
  int len = i2d_PUBKEY(X509_get0_pubkey(cert.get()), &key);
  if (len <= 0) return false;
  out_facts->public_key.assign(key, key + len);
  OPENSSL_free(key);
  return true;
}

Bytes BlobPublicKey(const Bytes &blob) {
  Bytes der;
  if (!PublicBlobToDer(blob, &der)) der.clear();
  return der;
}

std::string KeyFingerprint(const Bytes &public_key) {
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(public_key.data(), public_key.size(), digest);
  static const char digits[] = "0123456789abcdef";
  std::string text = "SHA256:";
  for (uint8_t byte : digest) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 15]);
  }
  return text;
}

std::vector<Bytes> Pkcs7Certificates(const std::string &text) {
  std::vector<Bytes> certificates;
  Bundle bundle = ParseBundle(text);
  if (!bundle || !PKCS7_type_is_signed(bundle.get()) || bundle->d.sign == nullptr) {
    return certificates;
  }
  STACK_OF(X509) *stack = bundle->d.sign->cert;
  for (int i = 0; stack != nullptr && i < sk_X509_num(stack); ++i) {
    unsigned char *der = nullptr;
    int len = i2d_X509(sk_X509_value(stack, i), &der);
    if (len <= 0) continue;
    certificates.emplace_back(der, der + len);
    OPENSSL_free(der);
  }
  return certificates;
}

std::string XmlElementText(const std::string &xml, const std::string &name) {
  const std::string open = "<" + name + ">", close = "</" + name + ">";
  size_t start = xml.find(open);
  if (start == std::string::npos) return "";
  start += open.size();
  size_t end = xml.find(close, start);
  return end == std::string::npos ? "" : xml.substr(start, end - start);
}

bool Base64Decode(const std::string &text, Bytes *out) {
  std::string compact;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
    compact.push_back(c);
  }
  if (compact.size() % 4 != 0) return false;
  out->assign(compact.size() / 4 * 3, 0);
  int len = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char *>(compact.data()),
                            static_cast<int>(compact.size()));
  if (len < 0) return false;
  size_t padding = 0;
  for (size_t i = compact.size(); i > 0 && compact[i - 1] == '=' && padding < 2; --i) ++padding;
  out->resize(static_cast<size_t>(len) - padding);
  return true;
}

}  // namespace obkeyctl

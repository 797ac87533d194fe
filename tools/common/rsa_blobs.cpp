#include "rsa_blobs.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <memory>

#include "byte_order.h"
#include "byte_reader.h"
#include "private_key_file.h"

namespace obkeyctl {
namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using Bignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using SecretBignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;

constexpr size_t kRecordNumberLen = 256;
constexpr uint32_t kRecordMaxBits = 2048;

std::string BioText(BIO *bio) {
  char *text = nullptr;
  long len = BIO_get_mem_data(bio, &text);
  return std::string(text, static_cast<size_t>(len));
}

void AppendLe32(std::vector<uint8_t> *out, uint32_t value) {
  uint8_t word[4];
  obkey::StoreLe32(word, value);
  out->insert(out->end(), word, word + 4);
}

// Appends `number` least significant byte first, padded to `width` bytes.
bool AppendLittleEndian(obkey::SecretBytes *out, const BIGNUM *number, size_t width) {
  size_t start = out->size();
  out->resize(start + width);
  return BN_bn2lebinpad(number, out->data() + start, static_cast<int>(width)) ==
         static_cast<int>(width);
}

SecretBignum GetParam(const EVP_PKEY *key, const char *name) {
  BIGNUM *value = nullptr;
  EVP_PKEY_get_bn_param(key, name, &value);
  return SecretBignum(value);
}

Pkey PublicBlobToKey(const std::vector<uint8_t> &blob) {
  // PUBLICKEYBLOB: type (1), version, reserved, algorithm (7), "RSA1",
  // bit length, public exponent, then the modulus little-endian.
  obkey::ByteReader reader(blob.data(), blob.size());
  uint8_t type = 0;
  uint32_t magic = 0, bits = 0, exponent = 0;
  if (!reader.U8(&type) || type != 0x06 || !reader.Skip(7) || !reader.U32(&magic) ||
      magic != 0x31415352 || !reader.U32(&bits) || !reader.U32(&exponent)) {
    return nullptr;
  }
  size_t modulus_len = bits / 8;
  if (modulus_len == 0 || reader.Rest() < modulus_len) return nullptr;
  Bignum n(BN_lebin2bn(reader.Here(), static_cast<int>(modulus_len), nullptr));
  Bignum e(BN_new());
  if (!n || !e || !BN_set_word(e.get(), exponent)) return nullptr;

  OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get());
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(builder);
  OSSL_PARAM_BLD_free(builder);
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *raw_key = nullptr;
  bool made = context != nullptr && params != nullptr && EVP_PKEY_fromdata_init(context) > 0 &&
              EVP_PKEY_fromdata(context, &raw_key, EVP_PKEY_PUBLIC_KEY, params) > 0;
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  Pkey key(raw_key);
  if (!made) return nullptr;
  return key;
}

bool LooksLikePem(const uint8_t *file, size_t file_len) {
  static const char kBegin[] = "-----BEGIN ";
  std::string head(file, file + (file_len < 4096 ? file_len : 4096));
  return head.find(kBegin) != std::string::npos;
}

// The form of `file`: `inform` when given, else what its contents look like.
template <typename Buffer>
bool IsPem(const Buffer &file, const std::string &inform) {
  if (inform == "pem") return true;
  if (inform == "der") return false;
  return LooksLikePem(file.data(), file.size());
}

Pkey ReadPublicKey(const std::vector<uint8_t> &file, const std::string &inform) {
  Pkey key;
  if (IsPem(file, inform)) {
    Bio memory(BIO_new_mem_buf(file.data(), static_cast<int>(file.size())));
    key.reset(PEM_read_bio_PUBKEY(memory.get(), nullptr, nullptr, nullptr));
    if (!key) {
      Bio again(BIO_new_mem_buf(file.data(), static_cast<int>(file.size())));
      Certificate certificate(PEM_read_bio_X509(again.get(), nullptr, nullptr, nullptr));
      if (certificate) key.reset(X509_get_pubkey(certificate.get()));
    }
    return key;
  }
  const uint8_t *cursor = file.data();
  key.reset(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(file.size())));
  if (!key) {
    cursor = file.data();
    Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(file.size())));
    if (certificate) key.reset(X509_get_pubkey(certificate.get()));
  }
  return key;
}

}  // namespace

bool PublicBlobToPem(const std::vector<uint8_t> &blob, std::string *out_pem) {
  Pkey key = PublicBlobToKey(blob);
  Bio memory(BIO_new(BIO_s_mem()));
  if (!key || !memory || PEM_write_bio_PUBKEY(memory.get(), key.get()) != 1) return false;
  *out_pem = BioText(memory.get());
  return true;
}

bool PublicBlobToDer(const std::vector<uint8_t> &blob, std::vector<uint8_t> *out_der) {
  Pkey key = PublicBlobToKey(blob);
  if (!key) return false;
  int len = i2d_PUBKEY(key.get(), nullptr);
  if (len <= 0) return false;
  out_der->resize(static_cast<size_t>(len));
  uint8_t *out = out_der->data();
  return i2d_PUBKEY(key.get(), &out) == len;
}

bool PrivateKeyToBlob(const obkey::SecretBytes &file, const std::string &inform,
                      obkey::SecretBytes *out_blob, int *out_bits) {
  PrivateKeyFile read;
  if (ReadPrivateKeyFile(file, inform, nullptr, &read) != KeyFileResult::kRead ||
      EVP_PKEY_get_base_id(read.key.get()) != EVP_PKEY_RSA) {
    return false;
  }
  *out_bits = EVP_PKEY_get_bits(read.key.get());
  return KeyToPrivateBlob(read.key.get(), out_blob);
}

bool PemToPrivateBlob(const obkey::SecretBytes &pem, obkey::SecretBytes *out_blob) {
  int bits = 0;
  return PrivateKeyToBlob(pem, "pem", out_blob, &bits);
}

bool KeyToPrivateBlob(EVP_PKEY *key_object, obkey::SecretBytes *out_blob) {
  const EVP_PKEY *key = key_object;
  const char *part_names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                              OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                              OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                              OSSL_PKEY_PARAM_RSA_D};
  SecretBignum e = GetParam(key, OSSL_PKEY_PARAM_RSA_E);
  if (!e) return false;
  uint32_t bits = static_cast<uint32_t>(EVP_PKEY_get_bits(key));
  size_t n = bits / 8, h = n / 2;
  // PRIVATEKEYBLOB: type (7), version (2), reserved, algorithm (key
  // exchange), "RSA2", bit length, public exponent, then the seven parts.
  obkey::ByteWriter blob;
  blob.U8(0x07);
  blob.U8(0x02);
  blob.U16(0);
  blob.U32(0x0000A400);
  blob.U32(0x32415352);
  blob.U32(bits);
  blob.U32(static_cast<uint32_t>(BN_get_word(e.get())));
  for (size_t i = 0; i < 7; ++i) {
    SecretBignum part = GetParam(key, part_names[i]);
    size_t width = (i == 0 || i == 6) ? n : h;
    if (!part || !AppendLittleEndian(&blob.bytes(), part.get(), width)) return false;
  }
  out_blob->swap(blob.bytes());
  return true;
}

bool CertificateToDer(const std::vector<uint8_t> &file, std::vector<uint8_t> *out_der) {
  return CertificateFileToDer(file, "", out_der);
}

bool CertificateFileToDer(const std::vector<uint8_t> &file, const std::string &inform,
                          std::vector<uint8_t> *out_der) {
  Certificate certificate;
  if (IsPem(file, inform)) {
    Bio memory(BIO_new_mem_buf(file.data(), static_cast<int>(file.size())));
    certificate.reset(PEM_read_bio_X509(memory.get(), nullptr, nullptr, nullptr));
  } else {
    const uint8_t *cursor = file.data();
    certificate.reset(d2i_X509(nullptr, &cursor, static_cast<long>(file.size())));
  }
  if (!certificate) return false;
  int len = i2d_X509(certificate.get(), nullptr);
  if (len <= 0) return false;
  out_der->resize(static_cast<size_t>(len));
  uint8_t *out = out_der->data();
  return i2d_X509(certificate.get(), &out) == len;
}

bool CertificateToPem(const std::vector<uint8_t> &der, std::string *out_pem) {
  const uint8_t *cursor = der.data();
  Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  Bio memory(BIO_new(BIO_s_mem()));
  if (!certificate || !memory || PEM_write_bio_X509(memory.get(), certificate.get()) != 1) {
    return false;
  }
  *out_pem = BioText(memory.get());
  return true;
}

bool PemToRsaPublicKeyRecord(const std::vector<uint8_t> &pem, std::vector<uint8_t> *out_record) {
  return PublicKeyToRsaPublicKeyRecord(pem, "pem", out_record);
}

bool PublicKeyToRsaPublicKeyRecord(const std::vector<uint8_t> &file, const std::string &inform,
                                   std::vector<uint8_t> *out_record) {
  Pkey key = ReadPublicKey(file, inform);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return false;
  int bits = EVP_PKEY_get_bits(key.get());
  if (bits <= 0 || static_cast<uint32_t>(bits) > kRecordMaxBits) return false;
  SecretBignum n = GetParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
  SecretBignum e = GetParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
  if (!n || !e) return false;
  std::vector<uint8_t> record;
  AppendLe32(&record, static_cast<uint32_t>(bits));
  record.resize(4 + 2 * kRecordNumberLen);
  if (BN_bn2binpad(n.get(), record.data() + 4, kRecordNumberLen) < 0 ||
      BN_bn2binpad(e.get(), record.data() + 4 + kRecordNumberLen, kRecordNumberLen) < 0) {
    return false;
  }
  out_record->swap(record);
  return true;
}

bool RequestPemToDer(const std::string &pem, std::vector<uint8_t> *out_der) {
  Bio memory(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<X509_REQ, Deleter<X509_REQ, X509_REQ_free>> request(
      PEM_read_bio_X509_REQ(memory.get(), nullptr, nullptr, nullptr));
  if (!request) return false;
  int len = i2d_X509_REQ(request.get(), nullptr);
  if (len <= 0) return false;
  out_der->resize(static_cast<size_t>(len));
  uint8_t *out = out_der->data();
  return i2d_X509_REQ(request.get(), &out) == len;
}

std::vector<uint8_t> Sha1DigestInfo(const std::vector<uint8_t> &data) {
  std::vector<uint8_t> info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                               0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(data.data(), data.size(), digest);
  info.insert(info.end(), digest, digest + sizeof(digest));
  return info;
}

}  // namespace obkeyctl

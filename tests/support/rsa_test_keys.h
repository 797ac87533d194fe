// rsa_test_keys.h — OpenSSL-made RSA keys and the DER forms obkey's key
// import produces from them.
#ifndef OBKEY_TESTS_SUPPORT_RSA_TEST_KEYS_H
#define OBKEY_TESTS_SUPPORT_RSA_TEST_KEYS_H

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "wiping_allocator.h"

namespace obkey::softtoken::testing {

// Plain copies bytes kept in a wiping buffer, to compare them.
template <typename Allocator>
std::vector<uint8_t> Plain(const std::vector<uint8_t, Allocator> &bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

inline obkey::SecretBytes Secret(const std::vector<uint8_t> &bytes) {
  return obkey::SecretBytes(bytes.begin(), bytes.end());
}

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

inline Pkey NewRsaKey(unsigned bits) {
  return Pkey(EVP_RSA_gen(bits));
}

inline std::vector<uint8_t> StrictDer(EVP_PKEY *key) {
  std::vector<uint8_t> der(static_cast<size_t>(i2d_PrivateKey(key, nullptr)));
  unsigned char *p = der.data();
  i2d_PrivateKey(key, &p);
  return der;
}

// RawPrivate is x^d mod n of a whole block, by OpenSSL; empty on failure.
inline std::vector<uint8_t> RawPrivate(EVP_PKEY *key, const std::vector<uint8_t> &block) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                  EVP_PKEY_CTX_free);
  std::vector<uint8_t> out(block.size());
  size_t out_len = out.size();
  if (ctx == nullptr || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), out.data(), &out_len, block.data(), block.size()) != 1) {
    return {};
  }
  out.resize(out_len);
  return out;
}

// Part returns one key component big-endian in exactly `width` bytes, as the
// blob-to-DER conversion sees it (so it may start with zero bytes).
inline std::vector<uint8_t> Part(EVP_PKEY *key, const char *name, size_t width) {
  BIGNUM *bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  std::vector<uint8_t> out(width);
  BN_bn2binpad(bn, out.data(), static_cast<int>(width));
  BN_free(bn);
  return out;
}

inline void AppendLength(size_t len, bool long_form, std::vector<uint8_t> *out) {
  if (len < 0x80 && !long_form) {
    out->push_back(static_cast<uint8_t>(len));
  } else if (len < 0x100) {
    out->insert(out->end(), {0x81, static_cast<uint8_t>(len)});
  } else {
    out->insert(out->end(), {0x82, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
  }
}

// LooseInteger writes an INTEGER the way obkey's importer does: the bytes as
// given, with 0x00 in front only when the top bit is set, plus
// `extra_zeros` more zero bytes in front.
inline void AppendLooseInteger(std::vector<uint8_t> value, size_t extra_zeros,
                               std::vector<uint8_t> *out) {
  if (!value.empty() && (value[0] & 0x80)) value.insert(value.begin(), 0);
  value.insert(value.begin(), extra_zeros, 0);
  out->push_back(0x02);
  AppendLength(value.size(), false, out);
  out->insert(out->end(), value.begin(), value.end());
}

// LooseRsaDer encodes a 1024-bit key as obkey's importer does, from
// fixed-width parts (n and d 128 bytes, the others 64).
inline std::vector<uint8_t> LooseRsaDer(EVP_PKEY *key, size_t extra_zeros = 0) {
  std::vector<uint8_t> body;
  AppendLooseInteger({0}, 0, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_N, 128), extra_zeros, &body);
  AppendLooseInteger({1, 0, 1}, extra_zeros, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_D, 128), extra_zeros, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_FACTOR1, 64), extra_zeros, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_FACTOR2, 64), extra_zeros, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, 64), extra_zeros, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, 64), extra_zeros, &body);
  AppendLooseInteger(Part(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 64), extra_zeros, &body);
  std::vector<uint8_t> der = {0x30};
  AppendLength(body.size(), true, &der);
  der.insert(der.end(), body.begin(), body.end());
  return der;
}

}  // namespace obkey::softtoken::testing

#endif  // OBKEY_TESTS_SUPPORT_RSA_TEST_KEYS_H

// RSA key pairs: generation, import, the public-key record and the block
// rules of the three operations.
#include <cstring>
#include <vector>

#include "api_common.h"
#include "key_cache.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"
#include "rsa_blocks.h"
#include "rsa_operation.h"
#include "secret_array.h"

namespace obkey::p11token {

namespace {

constexpr CK_ULONG kModulusBits = 1024;
const uint8_t kPublicExponent[] = {0x01, 0x00, 0x01};
const CK_KEY_TYPE kRsaKeyType = CKK_RSA;

// SecretBlock wipes its bytes when it goes out of scope.
using SecretBlock = SecretArray<kRsaBlock>;

// CommitPair makes a new pair the key's, unless another writer changed
// the pair meanwhile.
int32_t CommitPair(const KeyRef &key, const std::vector<CK_OBJECT_HANDLE> &old_pair,
                   const std::vector<CK_OBJECT_HANDLE> &new_pair) {
  std::vector<CK_OBJECT_HANDLE> now;
  if (int32_t status = FindPair(key, &now)) {
    DestroyObjects(key.c, new_pair);
    return status;
  }
  return CommitReplacement(key.c, old_pair, new_pair, now);
}

// WholeBlock takes a ciphertext or signature, which may come without its
// leading zero bytes, as a whole block.
int32_t WholeBlock(const uint8_t *in, uint32_t in_len, RsaBlock *out) {
  if (in_len == 0 || in_len > kRsaBlock) return P11ST_DATA_LENGTH;
  if (in == nullptr) return P11ST_BAD_ARGUMENT;
  out->fill(0);
  std::memcpy(out->data() + (kRsaBlock - in_len), in, in_len);
  return 0;
}

// BlockToTransform: a whole block goes as it is, a shorter input is padded
// with `type` (random bytes from the token).
int32_t BlockToTransform(const Cryptoki &c, const uint8_t *in, uint32_t in_len, Pkcs1BlockType type,
                         RsaBlock *out) {
  if (in == nullptr && in_len != 0) return P11ST_BAD_ARGUMENT;
  if (in_len == kRsaBlock) {
    std::memcpy(out->data(), in, kRsaBlock);
    return 0;
  }
  if (in_len > kMaxPkcs1Payload) return P11ST_DATA_LENGTH;
  int32_t random_status = 0;
  RandomBytes random = [&](uint8_t *bytes, size_t len) {
    random_status = GenerateRandom(c, bytes, len);
    return random_status == 0;
  };
  if (Pkcs1Pad(type, in, in_len, random, out)) return 0;
  return random_status != 0 ? random_status : P11ST_CRYPTO;
}

}  // namespace

int32_t GenRSAKey(XcHandle container, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNeeded, &key)) return status;
  std::vector<CK_OBJECT_HANDLE> old_pair;
  if (int32_t status = FindPair(key, &old_pair)) return status;
  Bytes id = KeyId(key.slot, key_type);
  std::vector<CK_ATTRIBUTE> public_tmpl = {
      Attr(CKA_CLASS, &kPublicKeyClass, sizeof(kPublicKeyClass)),
      Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)),
      BoolAttr(CKA_TOKEN, true),
      BoolAttr(CKA_PRIVATE, false),
      Attr(CKA_LABEL, key.label.data(), key.label.size()),
      Attr(CKA_ID, id.data(), id.size()),
      BoolAttr(CKA_ENCRYPT, true),
      BoolAttr(CKA_VERIFY, true),
      UlongAttr(CKA_MODULUS_BITS, &kModulusBits),
      Attr(CKA_PUBLIC_EXPONENT, kPublicExponent, sizeof(kPublicExponent)),
  };
  std::vector<CK_ATTRIBUTE> private_tmpl = {
      Attr(CKA_CLASS, &kPrivateKeyClass, sizeof(kPrivateKeyClass)),
      Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)),
      BoolAttr(CKA_TOKEN, true),
      BoolAttr(CKA_PRIVATE, true),
      BoolAttr(CKA_SENSITIVE, true),
      BoolAttr(CKA_EXTRACTABLE, false),
      Attr(CKA_LABEL, key.label.data(), key.label.size()),
      Attr(CKA_ID, id.data(), id.size()),
      BoolAttr(CKA_DECRYPT, true),
      BoolAttr(CKA_SIGN, true),
  };
  if (int32_t status = RequireMechanism(key.c, CKM_RSA_PKCS_KEY_PAIR_GEN)) return status;
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE, private_key = CK_INVALID_HANDLE;
  CK_RV rv = key.c.functions->C_GenerateKeyPair(
      key.c.session, &mechanism, public_tmpl.data(), static_cast<CK_ULONG>(public_tmpl.size()),
      private_tmpl.data(), static_cast<CK_ULONG>(private_tmpl.size()), &public_key, &private_key);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  // The new pair is in place before the old one goes.
  ForgetKeys(key);
  return CommitPair(key, old_pair, {public_key, private_key});
}

int32_t WriteRSAKey(XcHandle container, const uint8_t *der, uint32_t der_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNeeded, &key)) return status;
  if (der_len == 0) return P11ST_BAD_KEY;
  if (der == nullptr) return P11ST_BAD_ARGUMENT;
  RsaPrivateKey rsa;
  if (!ReadRsaPrivateKey(der, der_len, &rsa) || !CheckRsaPrivateKey(rsa)) return P11ST_BAD_KEY;
  std::vector<CK_OBJECT_HANDLE> old_pair;
  if (int32_t status = FindPair(key, &old_pair)) return status;
  Bytes id = KeyId(key.slot, key_type);
  auto number = [](CK_ATTRIBUTE_TYPE type, const std::vector<uint8_t> &value) {
    return Attr(type, value.data(), value.size());
  };
  CK_OBJECT_HANDLE private_key = CK_INVALID_HANDLE, public_key = CK_INVALID_HANDLE;
  int32_t status = CreateObject(
      key.c,
      {Attr(CKA_CLASS, &kPrivateKeyClass, sizeof(kPrivateKeyClass)),
       Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)), BoolAttr(CKA_TOKEN, true),
       BoolAttr(CKA_PRIVATE, true), BoolAttr(CKA_SENSITIVE, true), BoolAttr(CKA_EXTRACTABLE, false),
       Attr(CKA_LABEL, key.label.data(), key.label.size()), Attr(CKA_ID, id.data(), id.size()),
       BoolAttr(CKA_DECRYPT, true), BoolAttr(CKA_SIGN, true), number(CKA_MODULUS, rsa.n),
       number(CKA_PUBLIC_EXPONENT, rsa.e), number(CKA_PRIVATE_EXPONENT, rsa.d),
       number(CKA_PRIME_1, rsa.p), number(CKA_PRIME_2, rsa.q), number(CKA_EXPONENT_1, rsa.dp),
       number(CKA_EXPONENT_2, rsa.dq), number(CKA_COEFFICIENT, rsa.qinv)},
      &private_key);
  if (status != 0) return status;
  status = CreateObject(
      key.c,
      {Attr(CKA_CLASS, &kPublicKeyClass, sizeof(kPublicKeyClass)),
       Attr(CKA_KEY_TYPE, &kRsaKeyType, sizeof(kRsaKeyType)), BoolAttr(CKA_TOKEN, true),
       BoolAttr(CKA_PRIVATE, false), Attr(CKA_LABEL, key.label.data(), key.label.size()),
       Attr(CKA_ID, id.data(), id.size()), BoolAttr(CKA_ENCRYPT, true), BoolAttr(CKA_VERIFY, true),
       number(CKA_MODULUS, rsa.n), number(CKA_PUBLIC_EXPONENT, rsa.e)},
      &public_key);
  if (status != 0) {
    DestroyObjects(key.c, {private_key});
    return status;
  }
  ForgetKeys(key);
  return CommitPair(key, old_pair, {public_key, private_key});
}

int32_t ReadRSAPubKey(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNotNeeded, &key)) return status;
  KnownKey numbers;
  int32_t status = WhileReplaced([&] {
    if (int32_t failed = FindOne(key, kPublicKeyClass, &numbers.object)) return failed;
    return ReadPublicNumbers(key.c, numbers.object, &numbers);
  });
  if (status != 0) return status;
  // The record holds the exponent's significant bytes, at most 3.
  const RsaExponent &exponent = numbers.exponent;
  size_t first = 0;
  while (exponent[first] == 0) ++first;  // not all zero: ReadPublicNumbers
  if (exponent.size() - first > 3) return P11ST_BAD_KEY;
  return WritePublicKeyRecord(numbers.modulus, exponent.data() + first, exponent.size() - first,
                              out, inout_len);
}

int32_t RSAEncrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  bool checks_signature = (key_type & XC_KEY_SIGN_FLAG) != 0;
  KeyRef key;
  int32_t status = ResolveKey(container, key_type & ~XC_KEY_SIGN_FLAG, Login::kNotNeeded, &key);
  if (status != 0) return status;
  SecretBlock input, result;
  if (checks_signature) {
    if ((status = WholeBlock(in, in_len, &input))) return status;
    if ((status = Transform(key, kPublicKeyClass, RawOp::kPublic, input, &result))) {
      return status;
    }
    return WriteUnpadded(Pkcs1BlockType::kSignature, result, out, inout_len);
  }
  // Resolve the key before padding, so that a missing key is reported as
  // such rather than spending the token's random bytes.
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  if ((status = FindOne(key, kPublicKeyClass, &object))) return status;
  if ((status = BlockToTransform(key.c, in, in_len, Pkcs1BlockType::kEncryption, &input))) {
    return status;
  }
  if ((status = Transform(key, kPublicKeyClass, RawOp::kPublic, input, &result))) {
    return status;
  }
  return WriteOutput(result.data(), kRsaBlock, out, inout_len);
}

int32_t RSADecrypt(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                   uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_type, Login::kNeeded, &key)) return status;
  SecretBlock input, result;
  if (int32_t status = WholeBlock(in, in_len, &input)) return status;
  if (int32_t status = Transform(key, kPrivateKeyClass, RawOp::kDecrypt, input, &result)) {
    return status;
  }
  return WriteUnpadded(Pkcs1BlockType::kEncryption, result, out, inout_len);
}

int32_t RSASign(XcHandle container, const uint8_t *in, uint32_t in_len, uint8_t *out,
                uint32_t *inout_len, uint32_t key_type) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  int32_t status = ResolveKey(container, key_type & ~XC_KEY_SIGN_FLAG, Login::kNeeded, &key);
  if (status != 0) return status;
  SecretBlock input, result;
  if ((status = BlockToTransform(key.c, in, in_len, Pkcs1BlockType::kSignature, &input))) {
    return status;
  }
  if ((status = Transform(key, kPrivateKeyClass, RawOp::kSign, input, &result))) {
    return status;
  }
  return WriteOutput(result.data(), kRsaBlock, out, inout_len);
}

}  // namespace obkey::p11token

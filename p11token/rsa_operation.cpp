// One RSA block operation on a key of the token: the key looked up or
// taken as learned, the operation started and applied, its result checked.
#include "rsa_operation.h"

#include <openssl/crypto.h>

#include <cstring>

#include "key_cache.h"
#include "module.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

// InitRaw starts one block operation with CKM_RSA_X_509 (no padding): the
// block rules are this library's, the same on every token.
CK_RV InitRaw(const Cryptoki &c, RawOp op, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_RSA_X_509, nullptr, 0};
  if (op == RawOp::kPublic) return c.functions->C_EncryptInit(c.session, &mechanism, key);
  if (op == RawOp::kDecrypt) return c.functions->C_DecryptInit(c.session, &mechanism, key);
  return c.functions->C_SignInit(c.session, &mechanism, key);
}

// FinishRaw applies the started operation to one block.
int32_t FinishRaw(const Cryptoki &c, RawOp op, const RsaBlock &in, RsaBlock *out) {
  CK_FUNCTION_LIST *f = c.functions;
  CK_BYTE_PTR in_bytes = const_cast<CK_BYTE_PTR>(in.data());
  // Exactly the block's size: a module that reports the size of the buffer
  // it was given (tpm2-pkcs11) then reports the block's.
  CK_BYTE result[kRsaBlock];
  CK_ULONG result_len = sizeof(result);
  // The operation uses only this connection's session and changes nothing
  // on the token: other threads and processes go on meanwhile.
  ReleaseCurrentStep();
  CK_RV rv = CKR_OK;
  if (op == RawOp::kPublic) {
    rv = f->C_Encrypt(c.session, in_bytes, kRsaBlock, result, &result_len);
  } else if (op == RawOp::kDecrypt) {
    rv = f->C_Decrypt(c.session, in_bytes, kRsaBlock, result, &result_len);
  } else {
    rv = f->C_Sign(c.session, in_bytes, kRsaBlock, result, &result_len);
  }
  int32_t status = StatusFromCkr(rv);
  // Some modules drop the leading zero bytes of the result.
  if (status == 0 && result_len > kRsaBlock) status = P11ST_BAD_KEY;
  if (status == P11ST_BUFFER_TOO_SMALL) status = P11ST_BAD_KEY;
  if (status == 0) {
    out->fill(0);
    std::memcpy(out->data() + (kRsaBlock - result_len), result, result_len);
  }
  OPENSSL_cleanse(result, sizeof(result));
  return status;
}

// StartOnKey starts the operation on the key's object of `object_class`:
// the one found before (`*known`, `*key_object`) while the module takes its
// handle for it and the input is below its modulus, else the one found now;
// again when another program replaced it between our look-up and the start.
int32_t StartOnKey(const KeyRef &key, CK_OBJECT_CLASS object_class, RawOp op, const RsaBlock &input,
                   bool *known, KnownKey *key_object) {
  CK_RV rv = CKR_KEY_HANDLE_INVALID;
  for (int tries = 0; tries < kReadTries; ++tries) {
    if (!*known) {
      if (int32_t status = LearnKey(key, object_class, key_object)) return status;
    }
    bool fits = BelowModulus(input, key_object->modulus);
    if (!fits && !*known) return P11ST_DATA_RANGE;
    rv = fits ? InitRaw(key.c, op, key_object->object) : CKR_KEY_HANDLE_INVALID;
    // A kept handle that the module refuses may name another object now.
    bool gone = rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID;
    if (rv == CKR_OK || (!gone && !*known)) break;
    *known = false;
  }
  return StatusFromCkr(rv);
}

}  // namespace

int32_t Transform(const KeyRef &key, CK_OBJECT_CLASS object_class, RawOp op, const RsaBlock &input,
                  RsaBlock *result) {
  if (int32_t status = RequireMechanism(key.c, CKM_RSA_X_509)) return status;
  KnownKey key_object;
  bool known = KnownKeyOf(KnownKeyId{key.c.slot, object_class, key.label}, &key_object);
  for (int tries = 0; tries < kReadTries; ++tries) {
    int32_t status = StartOnKey(key, object_class, op, input, &known, &key_object);
    if (status == 0) status = FinishRaw(key.c, op, input, result);
    if (status != 0 || op == RawOp::kPublic ||
        MadeByKey(input, *result, key_object.modulus, key_object.exponent)) {
      return status;
    }
    known = false;
  }
  result->fill(0);
  return P11ST_CHANGED;
}

}  // namespace obkey::p11token

// rsa_operation.h — one raw RSA operation (CKM_RSA_X_509) on a key of the
// token; the block rules around it are the library's own, the same on
// every token.
#ifndef OBKEY_P11TOKEN_RSA_OPERATION_H
#define OBKEY_P11TOKEN_RSA_OPERATION_H

#include <stdint.h>

#include "api_common.h"
#include "rsa_padding.h"

namespace obkey::p11token {

enum class RawOp { kPublic, kDecrypt, kSign };

// Transform runs one public or private operation of the block rules on the
// key's object of `object_class`: started with the process lock held,
// applied without it. A private operation's result must come from the key
// that was looked up, checked with its public numbers: a handle kept from
// before may name another key now (a module that reuses the handles of
// destroyed objects), and is then looked up again. A key replaced between
// the look-up and the operation gives a result of the old key, whole.
int32_t Transform(const KeyRef &key, CK_OBJECT_CLASS object_class, RawOp op, const RsaBlock &input,
                  RsaBlock *result);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_RSA_OPERATION_H

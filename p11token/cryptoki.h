// cryptoki.h — the PKCS #11 types, from the standard header that p11-kit
// ships (it packs structures to one byte on Windows, as Cryptoki requires).
#ifndef OBKEY_P11TOKEN_CRYPTOKI_H
#define OBKEY_P11TOKEN_CRYPTOKI_H

#include <p11-kit/pkcs11.h>

#endif  // OBKEY_P11TOKEN_CRYPTOKI_H

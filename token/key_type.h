// Which key pair of a container an RSA operation uses.
#ifndef OBKEY_TOKEN_KEY_TYPE_H
#define OBKEY_TOKEN_KEY_TYPE_H

#include <stdint.h>

namespace obkey {

// When a container holds both pairs, encryption and decryption use the
// exchange pair and signing and signature checks the signature pair.
enum class PairPreference { kExchange, kSignature };

// KeyTypeFromFlags derives the key type (1 exchange, 2 signature) from the
// container's key flags word (bit 0 exchange pair present, bit 1 signature
// pair present). Returns 0 when neither pair is present.
uint32_t KeyTypeFromFlags(uint32_t flags, PairPreference preference);

}  // namespace obkey

#endif  // OBKEY_TOKEN_KEY_TYPE_H

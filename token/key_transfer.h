// Moving RSA keys between the caller and the token: public keys out as a
// CryptoAPI public-key blob, private keys in from a CryptoAPI private-key
// blob (written to the token as PKCS #1 DER).
#ifndef OBKEY_TOKEN_KEY_TRANSFER_H
#define OBKEY_TOKEN_KEY_TRANSFER_H

#include <stdint.h>

#include "obkey_types.h"

namespace obkey {

// ExportPublicKey writes the 148-byte public-key blob of the pair that the
// key name's last digit selects. A null or short output buffer asks for the
// size: cbData becomes 148, nothing is read. The key name is checked before
// the token is touched.
int32_t ExportPublicKey(const DataBlob *key_name, DataBlob *inout_blob);

// ImportPublicKey checks the record and selects the container of
// `key_type`; the key bytes are neither parsed nor written.
int32_t ImportPublicKey(const DataBlob *public_key, uint32_t key_type);

// ImportPrivateKey converts the private-key blob to DER and writes it to the
// container of `key_type`. A blob that does not convert returns -1 before
// the token is touched.
int32_t ImportPrivateKey(const void *handle, const DataBlob *private_key_blob, uint32_t key_type);

}  // namespace obkey

#endif  // OBKEY_TOKEN_KEY_TRANSFER_H

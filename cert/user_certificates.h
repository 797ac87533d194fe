// The token's two user certificates: the exchange and the signature
// certificate, each kept beside its key pair in its own container.
#ifndef OBKEY_CERT_USER_CERTIFICATES_H
#define OBKEY_CERT_USER_CERTIFICATES_H

#include <stdint.h>

#include <optional>

#include "obkey_types.h"

namespace obkey {

// Where the certificate of a key type lives: the container slot to select
// and the key specification of XC_WriteCert / XC_ReadCert.
struct CertLocation {
  uint32_t slot;
  uint32_t key_spec;
};

// CertLocationOf maps key type 1 (exchange) and 2 (signature) to their
// certificate; any other key type selects nothing.
std::optional<CertLocation> CertLocationOf(uint32_t key_type);

// ImportUserCert writes the certificate bytes of `cert` to the token as the
// certificate of `key_type`. For key types 1 and 2, a null record, or null
// bytes behind a nonzero length, gives -1 before any session (an empty record
// goes to the token); any other key type opens and closes a session and gives
// 0 without reading the record. Otherwise the connect status or the first
// failing token-library status.
int32_t ImportUserCert(const DataBlob *cert, uint32_t key_type);

// ExportUserCert reads the certificate of `*key_type` into `inout_cert`:
// pbData is the destination, cbData its capacity on entry and the length on
// return. A null pbData is a size query: cbData becomes 2048 and nothing
// else happens, the key type unread. A null record, or a null key type
// pointer outside the size query, gives -1 before any session; an unknown key
// type gives 0 with the record untouched.
int32_t ExportUserCert(DataBlob *inout_cert, const uint32_t *key_type);

// GetCertProperty answers the fixed properties 0 (the vendor "orbisoft"),
// 1 (empty) and 5 (the key spec of `cert`, 4 bytes) without touching the
// token. A null or short `out` is not an error: only the length is stored.
// An unknown property gives 9 and touches nothing; a null length, or a null
// `cert` for property 5, gives -1.
int32_t GetCertProperty(const CertRef *cert, uint32_t property_id, uint8_t *out,
                        uint32_t *inout_len);

}  // namespace obkey

#endif  // OBKEY_CERT_USER_CERTIFICATES_H

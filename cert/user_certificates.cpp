#include "user_certificates.h"

#include <cstring>

#include "size_query.h"
#include "token_session.h"
#include "xcsp_eclib.h"

namespace obkey {

namespace {

constexpr char kVendor[] = {'o', 'r', 'b', 'i', 's', 'o', 'f', 't'};  // no terminator

}  // namespace

std::optional<CertLocation> CertLocationOf(uint32_t key_type) {
  switch (key_type) {
    case OB_KEY_TYPE_EXCHANGE:
      return CertLocation{XC_SLOT_EXCHANGE, XC_KEY_EXCHANGE};
    case OB_KEY_TYPE_SIGNATURE:
      return CertLocation{XC_SLOT_SIGNATURE, XC_KEY_SIGNATURE};
    default:
      return std::nullopt;
  }
}

int32_t ImportUserCert(const DataBlob *cert, uint32_t key_type) {
  std::optional<CertLocation> location = CertLocationOf(key_type);
  // An empty record goes to the token as it is; only bytes that are missing
  // behind a length are refused. Other key types never read the record.
  if (location && (cert == nullptr || (cert->pbData == nullptr && cert->cbData != 0))) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  // Callers pass other key types and expect success with nothing written.
  if (!location) return OB_OK;
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), location->slot, &container);
  if (status != 0) return status;
  return XC_WriteCert(container, cert->pbData, cert->cbData, location->key_spec);
}

int32_t ExportUserCert(DataBlob *inout_cert, const uint32_t *key_type) {
  if (inout_cert == nullptr) return OB_E_ARGUMENT;
  // The size query answers before the key type is looked at.
  if (AnswerNullSizeQuery(inout_cert->pbData, &inout_cert->cbData, OB_CERT_SIZE_HINT)) {
    return OB_OK;
  }
  if (key_type == nullptr) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  std::optional<CertLocation> location = CertLocationOf(*key_type);
  if (!location) return OB_OK;
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), location->slot, &container);
  if (status != 0) return status;
  // The token takes the capacity from cbData and leaves the length there.
  return XC_ReadCert(container, inout_cert->pbData, &inout_cert->cbData, location->key_spec);
}

int32_t GetCertProperty(const CertRef *cert, uint32_t property_id, uint8_t *out,
                        uint32_t *inout_len) {
  switch (property_id) {
    case OBCERT_PROP_VENDOR:
      if (inout_len == nullptr) return OB_E_ARGUMENT;
      if (out != nullptr && *inout_len >= sizeof(kVendor)) {
        std::memcpy(out, kVendor, sizeof(kVendor));
      } else {
        *inout_len = sizeof(kVendor);
      }
      return OB_OK;
    case OBCERT_PROP_EMPTY:
      if (inout_len == nullptr) return OB_E_ARGUMENT;
      // Any length holds the empty value; a missing buffer still learns 0.
      if (out == nullptr) *inout_len = 0;
      return OB_OK;
    case OBCERT_PROP_KEY_SPEC: {
      if (inout_len == nullptr || cert == nullptr) return OB_E_ARGUMENT;
      uint32_t key_spec = cert->number == OB_KEY_TYPE_EXCHANGE ? XC_KEY_EXCHANGE : XC_KEY_SIGNATURE;
      if (out != nullptr && *inout_len >= sizeof(key_spec)) {
        std::memcpy(out, &key_spec, sizeof(key_spec));
      }
      *inout_len = sizeof(key_spec);
      return OB_OK;
    }
    default:
      return OBCERT_E_PROPERTY;
  }
}

}  // namespace obkey

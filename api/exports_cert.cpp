// Exported entry points of the certificates: the two user certificates,
// enumeration, and the store vocabulary that has nothing to do. Each one
// only forwards to its subsystem inside the boundary guard.
#include "api_guard.h"
#include "cert_enumeration.h"
#include "obkey.h"
#include "user_certificates.h"

using obkey::Guarded;

extern "C" {

int32_t OBAPI OBCERT_CreateCertStore(const char *) {
  return OB_OK;
}

int32_t OBAPI OBCERT_FindCertStore(const char *) {
  return OB_OK;
}

int32_t OBAPI OBCERT_DestroyCertStore(const char *) {
  return OB_OK;
}

int32_t OBAPI OBCERT_ImportCert(uint32_t, const DataBlob *cert, uint32_t, uint32_t, uint32_t,
                                uint32_t key_type) {
  return Guarded([&] { return obkey::ImportUserCert(cert, key_type); });
}

int32_t OBAPI OBCERT_ExportCert(DataBlob *inout_cert, uint32_t, const uint32_t *key_type) {
  return Guarded([&] { return obkey::ExportUserCert(inout_cert, key_type); });
}

int32_t OBAPI OBCERT_DestroyCert(const CertRef *) {
  return OB_OK;
}

int32_t OBAPI OBCERT_GetCertProperty(const CertRef *cert, uint32_t property_id, uint8_t *out,
                                     uint32_t *inout_len) {
  return Guarded([&] { return obkey::GetCertProperty(cert, property_id, out, inout_len); });
}

int32_t OBAPI OBCERT_SetCertProperty(const CertRef *, uint32_t, const uint8_t *, uint32_t) {
  return OB_OK;
}

int32_t OBAPI OBCERT_EnumCertInStore(const char *store_name, uint32_t number, CertRef *inout_cert,
                                     uint32_t) {
  return Guarded([&] {
    return obkey::EnumerateCertificate(store_name, number, inout_cert, obkey::ProcessEnumToggle());
  });
}

int32_t OBAPI OBCERT_GetUserCert(uint32_t, uint32_t, uint32_t) {
  return OB_OK;
}

}  // extern "C"

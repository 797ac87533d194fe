// Exported entry points of certificate requests and installation. Each one
// only forwards to its subsystem inside the boundary guard.
#include "api_guard.h"
#include "enrollment.h"
#include "obkey.h"

using obkey::Guarded;

extern "C" {

int32_t OBAPI OBCERT_CreateP10(uint32_t, uint32_t, uint32_t, const char *subject,
                               DataBlob *out_request, uint32_t) {
  return Guarded([&] { return obkey::CreateP10(subject, out_request); });
}

// Argument 3 goes to the enrollment library before argument 1.
int32_t OBAPI OBCERT_InstallCert(const void *seal_arg2, uint32_t, const void *seal_arg1, uint32_t,
                                 const char *pkcs7, uint32_t, const char *xml_answer, uint32_t) {
  return Guarded([&] { return obkey::InstallCert(seal_arg1, seal_arg2, pkcs7, xml_answer); });
}

}  // extern "C"

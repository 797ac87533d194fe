// The exported functions of VeltaNxoEnrollApi: each checks the constants it
// is given and forwards to the stand-in.
#include <new>
#include <utility>

#include "enrollsim_status.h"
#include "export_guard.h"
#include "install.h"
#include "request.h"
#include "velta_enroll.h"

namespace es = obkey::enrollsim;

namespace {

// No exception crosses the C interface.
template <typename Body>
int32_t Guarded(Body &&body) noexcept {
  return obkey::GuardedExport<VEST_INTERNAL>(std::forward<Body>(body));
}

}  // namespace

extern "C" {

int32_t VEAPI VeltaEnroll_createPKCS10(uint32_t reserved1, const char *subject,
                                       VeBlob *inout_request, uint32_t encoding, uint32_t reserved5,
                                       uint32_t key_spec, uint32_t key_flags) {
  return Guarded([&]() -> int32_t {
    if (reserved1 != VE_RESERVED || reserved5 != VE_RESERVED || encoding != VE_REQUEST_PEM ||
        subject == nullptr || inout_request == nullptr) {
      return VEST_BAD_ARGUMENT;
    }
    // Only the key size counts among the flags: the pair is the token's own.
    if (key_spec != VE_KEY_SPEC_SIGNATURE || (key_flags >> 16) != (VE_KEY_FLAGS_RSA1024 >> 16)) {
      return VEST_UNSUPPORTED_KEY;
    }
    return es::MakeRequest(subject, inout_request);
  });
}

int32_t VEAPI VeltaEnroll_acceptPKCS7(uint32_t encoding, const char *pkcs7) {
  return Guarded([&]() -> int32_t {
    if (encoding != VE_PKCS7_TEXT || pkcs7 == nullptr) return VEST_BAD_ARGUMENT;
    return es::InstallSignatureCert(pkcs7);
  });
}

int32_t VEAPI VeltaEnroll_acceptSeal(const void *, const void *, const char *cert_kmc_req1,
                                     const char *cert_kmc_req2, const char *cert_kmc_req3,
                                     const char *cert_kmc_rep1, const char *cert_kmc_rep2,
                                     const char *cert_kmc_rep3, uint32_t flag9, uint32_t flag10,
                                     uint32_t flag11, uint32_t flag12) {
  return Guarded([&]() -> int32_t {
    if (flag9 != VE_SEAL_FLAG || flag10 != VE_SEAL_FLAG || flag11 != VE_SEAL_FLAG ||
        flag12 != VE_SEAL_FLAG) {
      return VEST_BAD_ARGUMENT;
    }
    const char *const values[es::kSealValueCount] = {cert_kmc_req1, cert_kmc_req2, cert_kmc_req3,
                                                     cert_kmc_rep1, cert_kmc_rep2, cert_kmc_rep3};
    return es::InstallSeal(values);
  });
}

}  // extern "C"

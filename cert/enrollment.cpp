#include "enrollment.h"

#include <cstddef>

#include "log_text.h"
#include "velta_enroll.h"
#include "xml_element_text.h"

namespace obkey {

// The enrollment library's record and obkey's are the same CryptoAPI blob.
static_assert(sizeof(VeBlob) == sizeof(DataBlob) &&
                  offsetof(VeBlob, cbData) == offsetof(DataBlob, cbData) &&
                  offsetof(VeBlob, pbData) == offsetof(DataBlob, pbData),
              "VeBlob and DataBlob differ in layout");
// The library makes the request for the token's signature pair.
static_assert(VE_KEY_SPEC_SIGNATURE == OB_KEY_TYPE_SIGNATURE, "signature key type differs");

int32_t CreateP10(const char *subject, DataBlob *out_request) {
  // The library receives the caller's own record (the same address), which
  // the layout check above makes its VeBlob.
  return VeltaEnroll_createPKCS10(VE_RESERVED, subject, reinterpret_cast<VeBlob *>(out_request),
                                  VE_REQUEST_PEM, VE_RESERVED, VE_KEY_SPEC_SIGNATURE,
                                  VE_KEY_FLAGS_RSA1024);
}

int32_t InstallCert(const void *seal_arg1, const void *seal_arg2, const char *pkcs7,
                    const char *xml_answer) {
  LogText("     =----- InstallCert S\n");
  if (xml_answer == nullptr) return OB_E_ARGUMENT;
  LogText(xml_answer);

  // Each lookup parses the answer anew.
  const XmlValue req1 = GetXmlElementText(xml_answer, "certKmcReq1");
  const XmlValue req2 = GetXmlElementText(xml_answer, "certKmcReq2");
  const XmlValue req3 = GetXmlElementText(xml_answer, "certKmcReq3");
  const XmlValue rep1 = GetXmlElementText(xml_answer, "certKmcRep1");
  const XmlValue rep2 = GetXmlElementText(xml_answer, "certKmcRep2");
  const XmlValue rep3 = GetXmlElementText(xml_answer, "certKmcRep3");

  // The signature certificate is optional to the installation: only the
  // seal's status reaches the caller.
  (void)VeltaEnroll_acceptPKCS7(VE_PKCS7_TEXT, pkcs7);
  return VeltaEnroll_acceptSeal(seal_arg1, seal_arg2, req1.data(), req2.data(), req3.data(),
                                rep1.data(), rep2.data(), rep3.data(), VE_SEAL_FLAG, VE_SEAL_FLAG,
                                VE_SEAL_FLAG, VE_SEAL_FLAG);
}

}  // namespace obkey

#include "cert/enrollment.h"

#include "cert/velta_enroll.h"
#include "cert/xml_element_text.h"
#include "token/log_text.h"

namespace obkey {

int32_t CreateP10(const char *subject, DataBlob *out_request) {
  return VeltaEnroll_createPKCS10(VE_RESERVED, subject, out_request, VE_REQUEST_PEM, VE_RESERVED,
                                  VE_KEY_SPEC_SIGNATURE, VE_KEY_FLAGS_RSA1024);
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

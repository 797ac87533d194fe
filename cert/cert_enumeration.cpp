#include "cert_enumeration.h"

#include "message_box.h"
#include "token_session.h"
#include "xcsp_eclib.h"

namespace obkey {

namespace {

// "密钥库名超过16字节" (key store name exceeds 16 bytes) in GBK.
constexpr char kStoreNameTooLong[] =
    "\xc3\xdc\xd4\xbf\xbf\xe2\xc3\xfb\xb3\xac\xb9\xfd"
    "16"
    "\xd7\xd6\xbd\xda";

constexpr uint32_t kFirstNumber = 1;
constexpr uint32_t kLastNumber = 4;

// Looks no further than one byte past the limit: the name is not used again.
bool IsTooLong(const char *name) {
  for (uint32_t i = 0; i <= kStoreNameMax; ++i) {
    if (name[i] == '\0') return false;
  }
  return true;
}

}  // namespace

EnumToggle &ProcessEnumToggle() {
  static EnumToggle toggle;
  return toggle;
}

int32_t EnumerateCertificate(const char *store_name, uint32_t number, CertRef *inout_cert,
                             EnumToggle &toggle) {
  if (store_name == nullptr || inout_cert == nullptr) return OB_E_ARGUMENT;
  if (IsTooLong(store_name)) {
    platform::ShowErrorBox(kStoreNameTooLong);
    return OB_E_ARGUMENT;
  }
  TokenSession session(TokenSession::FailedOpen::kNoDisconnectAfterFailedOpen);
  if (!session.is_open()) return OBCERT_E_NO_CERT;

  uint8_t param[XC_EKEY_PARAM_SIZE] = {};
  uint32_t param_len = sizeof(param);
  if (XC_GetEkeyParam(session.handle(), XC_EKEY_PARAM_CERT_COUNT, param, &param_len, 0) != 0) {
    return OBCERT_E_NO_CERT;
  }
  const uint32_t count = param[0];
  if (count == 0) return OBCERT_E_NO_CERT;
  if (number < kFirstNumber || number > kLastNumber) return OBCERT_E_NO_CERT;
  // A fresh reference is handed the number it asked for, counted or not.
  if (inout_cert->tag == 0) {
    inout_cert->number = number;
    return OB_OK;
  }
  if (count < number) return OBCERT_E_NO_CERT;
  return toggle.Flip() ? OB_OK : OBCERT_E_NO_CERT;
}

}  // namespace obkey

#include <cstring>

#include "api_common.h"
#include "softtoken_api.h"
#include "softtoken_os.h"

namespace obkey::softtoken {

int32_t WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len, uint32_t key_spec) {
  SessionCall call(container);
  if (int32_t status = call.status()) return status;
  size_t slot = 0;
  size_t index = 0;
  Session *s = FindContainer(container, &slot);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (!KeySlotIndex(key_spec, &index)) return XCST_BAD_KEY_TYPE;
  if (cert == nullptr) return XCST_BAD_ARGUMENT;
  if (cert_len == 0 || cert_len > kMaxCertificate) return XCST_CERT_LENGTH;
  if (int32_t status = RequireLogin(*s)) return status;
  return StageChange(s, [&](TokenState &next) {
    next.containers[slot].keys[index].certificate.assign(cert, cert + cert_len);
    return 0;
  });
}

int32_t ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_spec) {
  SessionCall call(container);
  if (int32_t status = call.status()) return status;
  size_t slot = 0;
  size_t index = 0;
  Session *s = FindContainer(container, &slot);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (!KeySlotIndex(key_spec, &index)) return XCST_BAD_KEY_TYPE;
  if (inout_len == nullptr) return XCST_BAD_ARGUMENT;
  const std::vector<uint8_t> &cert = s->state->containers[slot].keys[index].certificate;
  if (cert.empty()) return XCST_CERT_NOT_FOUND;
  auto cert_len = static_cast<uint32_t>(cert.size());
  if (int32_t status = ReserveOutput(cert_len, out, inout_len)) return status;
  std::memcpy(out, cert.data(), cert.size());
  *inout_len = cert_len;
  return 0;
}

}  // namespace obkey::softtoken

// Certificates: one per container and key specification, an object under
// its key's label.
#include <vector>

#include "api_common.h"
#include "container_directory.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"
#include "rsa_blocks.h"

namespace obkey::p11token {

namespace {

constexpr uint32_t kMaxCertificate = 4096;
const CK_CERTIFICATE_TYPE kX509 = CKC_X_509;

}  // namespace

int32_t WriteCert(XcHandle container, const uint8_t *cert, uint32_t cert_len, uint32_t key_spec) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_spec, Login::kNeeded, &key)) return status;
  if (cert_len == 0 || cert_len > kMaxCertificate) return P11ST_CERT_LENGTH;
  if (cert == nullptr) return P11ST_BAD_ARGUMENT;
  std::vector<CK_OBJECT_HANDLE> old_certificates;
  int32_t status = FindLabelled(key.c, kCertificateClass, key.label, &old_certificates);
  if (status != 0) return status;
  // The certificate carries its key's CKA_ID, also for a key made by
  // another program under our label.
  Bytes id = KeyId(key.slot, key_spec);
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE;
  if (FindOne(key, kPublicKeyClass, &public_key) == 0) {
    Bytes key_id;
    if (ReadAttribute(key.c, public_key, CKA_ID, &key_id) == 0 && !key_id.empty()) id = key_id;
  }
  Bytes subject;
  CertificateSubject(cert, cert_len, &subject);
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  status = CreateObject(
      key.c,
      {Attr(CKA_CLASS, &kCertificateClass, sizeof(kCertificateClass)),
       Attr(CKA_CERTIFICATE_TYPE, &kX509, sizeof(kX509)), BoolAttr(CKA_TOKEN, true),
       BoolAttr(CKA_PRIVATE, false), Attr(CKA_LABEL, key.label.data(), key.label.size()),
       Attr(CKA_ID, id.data(), id.size()), Attr(CKA_SUBJECT, subject.data(), subject.size()),
       Attr(CKA_VALUE, cert, cert_len)},
      &created);
  if (status != 0) return status;
  std::vector<CK_OBJECT_HANDLE> now;
  if ((status = FindLabelled(key.c, kCertificateClass, key.label, &now))) {
    DestroyObjects(key.c, {created});
    return status;
  }
  return CommitReplacement(key.c, old_certificates, {created}, now);
}

int32_t ReadCert(XcHandle container, uint8_t *out, uint32_t *inout_len, uint32_t key_spec) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  KeyRef key;
  if (int32_t status = ResolveKey(container, key_spec, Login::kNotNeeded, &key)) return status;
  Bytes value;
  int32_t status = WhileReplaced([&] {
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    if (int32_t failed = FindOne(key, kCertificateClass, &object)) return failed;
    return ReadAttribute(key.c, object, CKA_VALUE, &value);
  });
  if (status == P11ST_KEY_NOT_FOUND) return P11ST_CERT_NOT_FOUND;
  if (status != 0) return status;
  return WriteOutput(value.data(), value.size(), out, inout_len);
}

int32_t CountCertificates(const Cryptoki &c, uint32_t *out_count) {
  ContainerNames names;
  if (int32_t status = ReadContainerNames(c, &names)) return status;
  uint32_t count = 0;
  for (const std::string &name : names) {
    if (name.empty()) continue;
    for (uint32_t key_spec : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
      std::vector<CK_OBJECT_HANDLE> objects;
      int32_t status = FindLabelled(c, kCertificateClass, KeyLabel(name, key_spec), &objects);
      if (status != 0) return status;
      if (!objects.empty()) ++count;
    }
  }
  *out_count = count;
  return 0;
}

}  // namespace obkey::p11token

#include "request.h"

#include <openssl/objects.h>
#include <openssl/pem.h>

#include <cstring>
#include <string>
#include <vector>

#include "enrollsim_status.h"
#include "subject.h"
#include "token_keys.h"

namespace obkey::enrollsim {

namespace {

// SetSignature gives `request` the signature bytes.
bool SetSignature(X509_REQ *request, const std::vector<uint8_t> &signature) {
  ASN1_BIT_STRING *bits = ASN1_BIT_STRING_new();
  if (bits == nullptr || ASN1_BIT_STRING_set(bits, const_cast<uint8_t *>(signature.data()),
                                             static_cast<int>(signature.size())) != 1) {
    ASN1_BIT_STRING_free(bits);
    return false;
  }
  // Whole bytes: no unused bits in the last one.
  bits->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
  bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  X509_REQ_set0_signature(request, bits);
  return true;
}

bool PemOf(X509_REQ *request, std::string *out_pem) {
  Bio memory(BIO_new(BIO_s_mem()));
  if (!memory || PEM_write_bio_X509_REQ(memory.get(), request) != 1) return false;
  char *text = nullptr;
  long len = BIO_get_mem_data(memory.get(), &text);
  if (len <= 0) return false;
  out_pem->assign(text, static_cast<size_t>(len));
  return true;
}

}  // namespace

int32_t MakeRequest(const char *subject, VeBlob *inout_request) {
  X509Name name = ParseSubject(subject);
  if (!name) return VEST_BAD_SUBJECT;

  TokenSession session;
  XcHandle container = 0;
  Pkey public_key;
  if (int32_t status = OpenKey(session, kSignatureKey, &container, &public_key)) return status;

  X509Req request(X509_REQ_new());
  X509_ALGOR *algorithm = X509_ALGOR_new();
  bool built = request && algorithm != nullptr && X509_REQ_set_version(request.get(), 0) == 1 &&
               X509_REQ_set_subject_name(request.get(), name.get()) == 1 &&
               X509_REQ_set_pubkey(request.get(), public_key.get()) == 1 &&
               X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256WithRSAEncryption), V_ASN1_NULL,
                               nullptr) == 1 &&
               X509_REQ_set1_signature_algo(request.get(), algorithm) == 1;
  X509_ALGOR_free(algorithm);
  if (!built) return VEST_CRYPTO;

  // The part to be signed, encoded once; the request's encoding reuses it.
  unsigned char *tbs = nullptr;
  int tbs_len = i2d_re_X509_REQ_tbs(request.get(), &tbs);
  if (tbs_len <= 0) return VEST_CRYPTO;
  std::vector<uint8_t> to_sign(tbs, tbs + tbs_len);
  OPENSSL_free(tbs);

  // Every signature is one 128-byte block, so a placeholder gives the length
  // without asking the token to sign.
  std::string pem;
  if (!SetSignature(request.get(), std::vector<uint8_t>(XC_RSA_BLOCK, 0)) ||
      !PemOf(request.get(), &pem)) {
    return VEST_CRYPTO;
  }
  const uint32_t needed = static_cast<uint32_t>(pem.size()) + 1;
  if (inout_request->pbData == nullptr || inout_request->cbData < needed) {
    inout_request->cbData = needed;
    return 0;
  }

  std::vector<uint8_t> signature;
  if (int32_t status = SignSha256(container, XC_KEY_SIGNATURE, to_sign, &signature)) {
    return status;
  }
  if (!SetSignature(request.get(), signature) || !PemOf(request.get(), &pem) ||
      pem.size() + 1 != needed) {
    return VEST_CRYPTO;
  }
  std::memcpy(inout_request->pbData, pem.data(), pem.size());
  inout_request->pbData[pem.size()] = '\0';
  inout_request->cbData = static_cast<uint32_t>(pem.size());
  return 0;
}

}  // namespace obkey::enrollsim

#include "enrollsim/request.h"

#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "enrollsim/enrollsim_status.h"
#include "enrollsim/token_keys.h"

namespace obkey::enrollsim {

namespace {

using Attribute = std::pair<std::string, std::string>;

std::string Trimmed(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// SplitAttributes cuts `text` at unescaped `separator`s into type=value
// pairs, the type ending at the first unescaped '='. False for an attribute
// without '=' or with an empty type or value.
bool SplitAttributes(const char *text, char separator, std::vector<Attribute> *out) {
  Attribute current;
  bool in_value = false;
  auto finish = [&] {
    std::string type = Trimmed(current.first), value = Trimmed(current.second);
    if (!in_value || type.empty() || value.empty()) return false;
    out->emplace_back(std::move(type), std::move(value));
    current = Attribute();
    in_value = false;
    return true;
  };
  for (const char *p = text; *p != '\0'; ++p) {
    std::string &field = in_value ? current.second : current.first;
    if (*p == '\\' && p[1] != '\0') {
      field.push_back(*++p);
    } else if (*p == separator) {
      if (!finish()) return false;
    } else if (*p == '=' && !in_value) {
      in_value = true;
    } else {
      field.push_back(*p);
    }
  }
  return finish();
}

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

X509Name ParseSubject(const char *subject) {
  std::vector<Attribute> attributes;
  bool parsed = subject[0] == '/' ? SplitAttributes(subject + 1, '/', &attributes)
                                  : SplitAttributes(subject, ',', &attributes);
  if (!parsed) return nullptr;
  // RFC 4514 writes the most specific attribute first, the encoding last.
  if (subject[0] != '/') std::reverse(attributes.begin(), attributes.end());
  X509Name name(X509_NAME_new());
  if (!name) return nullptr;
  for (const Attribute &attribute : attributes) {
    if (X509_NAME_add_entry_by_txt(name.get(), attribute.first.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(attribute.second.data()),
                                   static_cast<int>(attribute.second.size()), -1, 0) != 1) {
      return nullptr;
    }
  }
  return name;
}

int32_t MakeRequest(const char *subject, DataBlob *inout_request) {
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

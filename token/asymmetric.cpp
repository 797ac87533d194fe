#include "asymmetric.h"

#include <cstdio>

#include "key_type.h"
#include "log_text.h"
#include "obkey_types.h"
#include "size_query.h"
#include "token_session.h"
#include "xcsp_eclib.h"

// obkey hands its key types and container slots to the token library as they
// are: the two interfaces must agree on them.
static_assert(OB_KEY_TYPE_EXCHANGE == XC_KEY_EXCHANGE && OB_KEY_TYPE_SIGNATURE == XC_KEY_SIGNATURE,
              "key types differ between obkey and the token library");
static_assert(OB_SLOT_SIGNATURE == XC_SLOT_SIGNATURE && OB_SLOT_EXCHANGE == XC_SLOT_EXCHANGE,
              "container slots differ between obkey and the token library");

namespace obkey {

uint32_t KeyTypeFromFlags(uint32_t flags, PairPreference preference) {
  bool exchange = (flags & XC_FLAG_EXCHANGE_PAIR) != 0;
  bool signature = (flags & XC_FLAG_SIGNATURE_PAIR) != 0;
  if (preference == PairPreference::kExchange) {
    if (exchange) return OB_KEY_TYPE_EXCHANGE;
    return signature ? OB_KEY_TYPE_SIGNATURE : 0;
  }
  if (signature) return OB_KEY_TYPE_SIGNATURE;
  return exchange ? OB_KEY_TYPE_EXCHANGE : 0;
}

namespace {

constexpr size_t kAlgorithmLineSize = 200;
constexpr size_t kDetailLineSize = 1024;
// GBK for "failed", the word that ends the signing failure entries.
constexpr char kFailedWord[] = "\xCA\xA7\xB0\xDC";

bool IsReadable(const uint8_t *data, uint32_t len) {
  return data != nullptr || len == 0;
}

void LogAlgorithm(const char *function, uint32_t alg_id) {
  char line[kAlgorithmLineSize];
  std::snprintf(line, sizeof(line), "%s {CALG_RSA_SIGN=%d,CALG_RSA_KEYX=%d} Algorithm=%d\n",
                function, static_cast<int>(CALG_RSA_SIGN), static_cast<int>(CALG_RSA_KEYX),
                static_cast<int32_t>(alg_id));
  LogText(line);
}

// The detail entry has no line end: the next entry runs on after it.
void LogOperationDetail(const char *function, XcHandle container, const uint8_t *in,
                        uint32_t in_len, uint32_t out_len, uint32_t key_type) {
  char line[kDetailLineSize];
  std::snprintf(line, sizeof(line),
                "%s hContainer=[%d],PartIn=[%d],PartInLen=[%d],DecryptedDataLen=[%d],"
                "dwKeyType=[%d]",
                function, static_cast<int32_t>(container),
                static_cast<int32_t>(reinterpret_cast<uintptr_t>(in)), static_cast<int32_t>(in_len),
                static_cast<int32_t>(out_len), static_cast<int32_t>(key_type));
  LogText(line);
}

void LogSignFailure(const char *step) {
  char line[kAlgorithmLineSize];
  std::snprintf(line, sizeof(line), "OB_AsymmetricSignData %s%s\n", step, kFailedWord);
  LogText(line);
}

int32_t ReadKeyFlags(XcHandle container, uint32_t *out_flags) {
  uint32_t flags = 0;
  uint32_t flags_len = sizeof(flags);
  int32_t status = XC_GetContainerParam(container, XC_CONTAINER_PARAM_FLAGS,
                                        reinterpret_cast<uint8_t *>(&flags), &flags_len, 0);
  *out_flags = flags;
  return status;
}

}  // namespace

int32_t AsymmetricEncrypt(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in, uint32_t in_len,
                          uint32_t alg_id) {
  LogText("OB_AsymmetricEncrypt EkeyConnect  \n");
  if (inout_out_len == nullptr) return OB_E_ARGUMENT;
  if (AnswerNullSizeQuery(out, inout_out_len, OB_RSA_BLOCK_LEN)) return OB_OK;
  if (!IsReadable(in, in_len)) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  LogAlgorithm("OB_AsymmetricEncrypt", alg_id);
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), XC_SLOT_EXCHANGE, &container);
  if (status != 0) return status;
  LogText("OB_AsymmetricEncrypt  --------------2\n");
  uint32_t flags = 0;
  status = ReadKeyFlags(container, &flags);
  if (status != 0) return status;
  LogText("OB_AsymmetricEncrypt  XC_GetContainerParam\n");
  uint32_t key_type = KeyTypeFromFlags(flags, PairPreference::kExchange);
  if (key_type == 0) return OB_E_ARGUMENT;
  LogText("OB_AsymmetricEncrypt  XC_RSAEncrypt Start\n");
  LogOperationDetail("OB_AsymmetricEncrypt", container, in, in_len, *inout_out_len, key_type);
  return XC_RSAEncrypt(container, in, in_len, out, inout_out_len, key_type);
}

int32_t AsymmetricDecrypt(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in, uint32_t in_len,
                          uint32_t alg_id) {
  LogText("OB_AsymmetricDecrypt EkeyConnect  \n");
  if (out == nullptr || inout_out_len == nullptr || !IsReadable(in, in_len)) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  LogAlgorithm("OB_AsymmetricDecrypt", alg_id);
  uint32_t slot;
  if (alg_id == CALG_RSA_SIGN) {
    slot = XC_SLOT_SIGNATURE;
  } else if (alg_id == CALG_RSA_KEYX) {
    slot = XC_SLOT_EXCHANGE;
  } else {
    return OB_E_ARGUMENT;
  }
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), slot, &container);
  if (status != 0) return status;
  LogText("OB_AsymmetricDecrypt  --------------2\n");
  uint32_t flags = 0;
  status = ReadKeyFlags(container, &flags);
  if (status != 0) return status;
  LogText("OB_AsymmetricDecrypt  XC_GetContainerParam\n");
  uint32_t key_type = KeyTypeFromFlags(flags, PairPreference::kExchange);
  // No pair to decrypt with is a failure, not an empty success.
  if (key_type == 0) return OB_E_ARGUMENT;
  LogText("OB_AsymmetricDecrypt  XC_RSADecrypt Start\n");
  LogOperationDetail("OB_AsymmetricDecrypt", container, in, in_len, *inout_out_len, key_type);
  *inout_out_len = OB_RSA_BLOCK_LEN;
  status = XC_RSADecrypt(container, in, in_len, out, inout_out_len, key_type);
  session.Close();
  LogText("OB_AsymmetricDecrypt  XC_RSADecrypt\n");
  return status;
}

int32_t AsymmetricSign(const uint8_t *data, uint32_t data_len, uint8_t *out_signature,
                       uint32_t *inout_signature_len) {
  if (out_signature == nullptr || inout_signature_len == nullptr || !IsReadable(data, data_len)) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) {
    LogSignFailure("EkeyConnect  ");
    return session.open_status();
  }
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), XC_SLOT_SIGNATURE, &container);
  if (status != 0) {
    LogSignFailure("XC_SetCurContainer  ");
    return status;
  }
  uint32_t flags = 0;
  status = ReadKeyFlags(container, &flags);
  if (status != 0) {
    LogSignFailure("XC_GetContainerParam  ");
    return status;
  }
  uint32_t key_type = KeyTypeFromFlags(flags, PairPreference::kSignature);
  if (key_type == 0) {
    LogText("OB_AsymmetricSignData dwKeyType == 0  \n");
    // Nothing was signed: report it rather than an empty success.
    return OB_E_ARGUMENT;
  }
  *inout_signature_len = OB_RSA_BLOCK_LEN;
  status = XC_RSASign(container, data, data_len, out_signature, inout_signature_len,
                      key_type + XC_KEY_SIGN_FLAG);
  if (status != 0) {
    char line[kAlgorithmLineSize];
    std::snprintf(line, sizeof(line), "OB_AsymmetricSignData XC_RSASign %s \n", kFailedWord);
    LogText(line);
  }
  return status;
}

int32_t AsymmetricVerify(uint8_t *out_block, uint32_t *inout_block_len, const uint8_t *signature,
                         uint32_t signature_len) {
  if (out_block == nullptr || inout_block_len == nullptr || !IsReadable(signature, signature_len)) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  XcHandle container = 0;
  int32_t status = XC_SetCurContainer(session.handle(), XC_SLOT_SIGNATURE, &container);
  if (status != 0) return status;
  uint32_t flags = 0;
  status = ReadKeyFlags(container, &flags);
  if (status != 0) return status;
  uint32_t key_type = KeyTypeFromFlags(flags, PairPreference::kSignature);
  if (key_type == 0) return OB_E_ARGUMENT;
  *inout_block_len = OB_RSA_BLOCK_LEN;
  return XC_RSAEncrypt(container, signature, signature_len, out_block, inout_block_len,
                       key_type + XC_KEY_SIGN_FLAG);
}

}  // namespace obkey

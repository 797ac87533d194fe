#include "containers.h"

#include <cstdio>
#include <cstring>

#include "key_names.h"
#include "token_session.h"

namespace obkey {

namespace {

// The longest container name whose key names still fit the 151 bytes that
// FindContainerAndKeypair reports: the name, three characters, a terminator.
constexpr size_t kFindableNameMax = OB_KEY_NAME_LEN_REPORTED - 4;

bool IsNonEmpty(const char *text) {
  return text != nullptr && text[0] != '\0';
}

bool IsWritableName(const DataBlob *record) {
  return record != nullptr && record->pbData != nullptr;
}

void ReportKeyName(DataBlob *record, const char *container_name, const char *suffix) {
  record->cbData = OB_KEY_NAME_LEN_REPORTED;
  if (record->pbData != nullptr) WriteKeyName(record->pbData, container_name, suffix);
}

}  // namespace

int32_t CreateOrOpenContainer(XcHandle session, const char *container_name,
                              XcHandle *out_container) {
  int32_t status = XC_CreateContainer(session, container_name, out_container, XC_CONTAINER_CREATE);
  if (status != 0) {
    status = XC_CreateContainer(session, container_name, out_container, XC_CONTAINER_OPEN);
  }
  return status;
}

int32_t CreateContainer(const char *container_name) {
  if (!IsNonEmpty(container_name) || std::strlen(container_name) > kContainerNameMax) {
    return OB_E_ARGUMENT;
  }
  if (!ContainsKeyword(container_name, kSignatureKeyword) &&
      !ContainsKeyword(container_name, kExchangeKeyword)) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  XcHandle container = 0;
  return CreateOrOpenContainer(session.handle(), container_name, &container);
}

int32_t GenerateKeyPair(const char *container_name, DataBlob *out_key_name1,
                        DataBlob *out_key_name2, uint32_t key_type) {
  if (!IsNonEmpty(container_name) || !NameFitsKeyType(container_name, key_type)) {
    return OB_E_ARGUMENT;
  }
  if (!IsWritableName(out_key_name1) || !IsWritableName(out_key_name2)) return OB_E_ARGUMENT;
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  XcHandle container = 0;
  int32_t status = CreateOrOpenContainer(session.handle(), container_name, &container);
  if (status != 0) return status;
  status = XC_GenRSAKey(container, key_type);
  bool exchange = key_type == OB_KEY_TYPE_EXCHANGE;
  WriteKeyName(out_key_name1->pbData, container_name,
               exchange ? kExchangeSuffix1 : kSignatureSuffix1);
  WriteKeyName(out_key_name2->pbData, container_name,
               exchange ? kExchangeSuffix2 : kSignatureSuffix2);
  return status;
}

int32_t FindContainerAndKeypair(const char *container_name, DataBlob *out_sig_name1,
                                DataBlob *out_sig_name2, DataBlob *out_exch_name1,
                                DataBlob *out_exch_name2) {
  if (container_name == nullptr || std::strlen(container_name) > kFindableNameMax) {
    return OB_E_ARGUMENT;
  }
  if (!out_sig_name1 || !out_sig_name2 || !out_exch_name1 || !out_exch_name2) return OB_E_ARGUMENT;
  ReportKeyName(out_exch_name1, container_name, kExchangeSuffix1);
  ReportKeyName(out_exch_name2, container_name, kExchangeSuffix2);
  ReportKeyName(out_sig_name1, container_name, kSignatureSuffix1);
  ReportKeyName(out_sig_name2, container_name, kSignatureSuffix2);
  return OB_OK;
}

int32_t GenerateRandom(DataBlob *out_random) {
  if (out_random == nullptr || (out_random->pbData == nullptr && out_random->cbData != 0)) {
    return OB_E_ARGUMENT;
  }
  TokenSession session;
  if (!session.is_open()) return session.open_status();
  int32_t status = XC_GenRandom(session.handle(), out_random->pbData, out_random->cbData);
  if (status != 0) {
    std::printf(">>>>>>>>>>>Create Key Error!>>>>>>>>>>\n");
    std::fflush(stdout);
  }
  return status;
}

}  // namespace obkey

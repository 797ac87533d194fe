#include "fake_enroll.h"

#include <map>
#include <type_traits>

#include "velta_enroll.h"

namespace fake_enroll {

namespace {

std::vector<Call> &Recorded() {
  static std::vector<Call> calls;
  return calls;
}

std::map<std::string, int32_t> &Statuses() {
  static std::map<std::string, int32_t> statuses;
  return statuses;
}

template <typename T>
uintptr_t Word(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value);
  } else {
    return static_cast<uintptr_t>(value);
  }
}

std::string Text(const char *text) {
  return text == nullptr ? "<null>" : text;
}

int32_t Record(Call call) {
  std::string function = call.function;
  Recorded().push_back(std::move(call));
  auto scripted = Statuses().find(function);
  return scripted == Statuses().end() ? 0 : scripted->second;
}

}  // namespace

void Reset() {
  Recorded().clear();
  Statuses().clear();
}

void SetStatus(const std::string &function, int32_t status) {
  Statuses()[function] = status;
}

const std::vector<Call> &Calls() {
  return Recorded();
}

}  // namespace fake_enroll

using fake_enroll::Call;

extern "C" {

int32_t VEAPI VeltaEnroll_createPKCS10(uint32_t reserved1, const char *subject,
                                       VeBlob *inout_request, uint32_t encoding, uint32_t reserved5,
                                       uint32_t key_spec, uint32_t key_flags) {
  using fake_enroll::Word;
  return fake_enroll::Record(
      Call{"VeltaEnroll_createPKCS10",
           {Word(reserved1), Word(subject), Word(inout_request), Word(encoding), Word(reserved5),
            Word(key_spec), Word(key_flags)},
           {}});
}

int32_t VEAPI VeltaEnroll_acceptPKCS7(uint32_t encoding, const char *pkcs7) {
  using fake_enroll::Word;
  return fake_enroll::Record(
      Call{"VeltaEnroll_acceptPKCS7", {Word(encoding), Word(pkcs7)}, {fake_enroll::Text(pkcs7)}});
}

int32_t VEAPI VeltaEnroll_acceptSeal(const void *seal_arg1, const void *seal_arg2, const char *req1,
                                     const char *req2, const char *req3, const char *rep1,
                                     const char *rep2, const char *rep3, uint32_t flag9,
                                     uint32_t flag10, uint32_t flag11, uint32_t flag12) {
  using fake_enroll::Text;
  using fake_enroll::Word;
  return fake_enroll::Record(
      Call{"VeltaEnroll_acceptSeal",
           {Word(seal_arg1), Word(seal_arg2), Word(req1), Word(req2), Word(req3), Word(rep1),
            Word(rep2), Word(rep3), Word(flag9), Word(flag10), Word(flag11), Word(flag12)},
           {Text(req1), Text(req2), Text(req3), Text(rep1), Text(rep2), Text(rep3)}});
}

}  // extern "C"

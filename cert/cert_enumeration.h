// Certificate enumeration: answered from one count byte on the token and a
// process-wide toggle, never from the certificates themselves.
#ifndef OBKEY_CERT_CERT_ENUMERATION_H
#define OBKEY_CERT_CERT_ENUMERATION_H

#include <stdint.h>

#include <atomic>

#include "obkey_types.h"

namespace obkey {

// EnumToggle alternates the answers of enumeration calls that carry a
// nonzero tag: the first delivers, the next ends the enumeration, and so on.
// It starts at 0. Each flip is one atomic step, so threads that enumerate
// at once share one alternation instead of racing on it.
class EnumToggle {
 public:
  // Flip reports whether this call delivers (the toggle was 0) and flips it.
  bool Flip() { return value_.fetch_xor(1u) == 0; }
  uint32_t value() const { return value_.load(); }

 private:
  std::atomic<uint32_t> value_{0};
};

// ProcessEnumToggle is the one toggle of the process, shared by every caller,
// store name and certificate number.
EnumToggle &ProcessEnumToggle();

inline constexpr uint32_t kStoreNameMax = 16;

// EnumerateCertificate answers an enumeration request for certificate
// `number` (1 to 4) in the store `store_name`, with `toggle` deciding the
// calls whose reference has a nonzero tag.
//
// A null name or reference gives -1 before any session. A name longer than
// 16 bytes shows the error box and gives -1 without a session. Every token
// failure, a zero count, a number out of range and the end of the
// enumeration give 10; a failed opening makes no disconnect. A reference
// whose tag is 0 receives `number` and gives 0. Only `number` is ever
// written.
int32_t EnumerateCertificate(const char *store_name, uint32_t number, CertRef *inout_cert,
                             EnumToggle &toggle);

}  // namespace obkey

#endif  // OBKEY_CERT_CERT_ENUMERATION_H

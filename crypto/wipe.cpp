#include "wipe.h"

#include <openssl/crypto.h>

namespace obkey {

void SecureWipe(void *p, size_t len) {
  if (p != nullptr && len != 0) OPENSSL_cleanse(p, len);
}

}  // namespace obkey

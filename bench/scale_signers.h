// The signers the scale benchmark runs side by side: obkey (over whichever
// token library the process loaded), OpenSSL with a kept key, and SoftHSMv2
// through its PKCS #11 module with a session per signature. Each signs a
// SHA-1 DigestInfo with a 1024-bit RSA key, PKCS #1 v1.5.
#ifndef OBKEY_BENCH_SCALE_SIGNERS_H
#define OBKEY_BENCH_SCALE_SIGNERS_H

#include <functional>
#include <memory>
#include <string>

namespace obkey_bench {

// SignOnce makes one signature and says whether it succeeded; each thread
// has its own.
using SignOnce = std::function<bool()>;

// ProcessSigner is one process's state of a kind: logged in, its key found.
class ProcessSigner {
 public:
  virtual ~ProcessSigner() = default;
  virtual SignOnce NewThreadSigner() = 0;
};

// A kind of signer. SetUpToken runs once in the parent and makes the key
// in `folder`; OpenProcess runs in each worker process, which has the
// parent's environment. Both throw std::runtime_error on failure.
struct SignerKind {
  const char *name;
  void (*SetUpToken)(const std::string &folder);
  std::unique_ptr<ProcessSigner> (*OpenProcess)(const std::string &folder);
};

// FindSignerKind returns the kind named `name`, or nullptr.
const SignerKind *FindSignerKind(const std::string &name);

}  // namespace obkey_bench

#endif  // OBKEY_BENCH_SCALE_SIGNERS_H

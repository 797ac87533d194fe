#include "token_backend.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "softhsm_tokens.h"
#include "token_test_env.h"

namespace obkey_test {

TokenBackend CurrentTokenBackend() {
  static const TokenBackend backend = [] {
    void *connect = dlsym(RTLD_DEFAULT, "XC_ConnectEkey");
    Dl_info info{};
    if (connect == nullptr || dladdr(connect, &info) == 0 || info.dli_fname == nullptr) {
      return TokenBackend::kSoftToken;
    }
    std::string file = info.dli_fname;
    return file.find("/p11token/") != std::string::npos ? TokenBackend::kPkcs11
                                                        : TokenBackend::kSoftToken;
  }();
  return backend;
}

const char *TokenBackendName(TokenBackend backend) {
  return backend == TokenBackend::kPkcs11 ? "pkcs11" : "softtoken";
}

bool PrepareTestTokens(const std::string &folder) {
  if (CurrentTokenBackend() == TokenBackend::kSoftToken) {
    setenv("XCSP_TOKEN_DIR", (folder + "/tokens").c_str(), 1);
    return true;
  }
  bool ok = ProcessSoftHsmTokens().ok();
  EXPECT_TRUE(ok) << "softhsm2-util could not initialise the test tokens";
  return ok;
}

void UnplugTestToken(TokenTestEnv *env) {
  if (CurrentTokenBackend() == TokenBackend::kSoftToken) {
    setenv("XCSP_TOKEN_DIR", (env->folder() + "/elsewhere").c_str(), 1);
  } else {
    env->SetUsbKeyValue("XCSP_KEY_99");
  }
}

bool TokenCountsPinRetries() {
  return CurrentTokenBackend() == TokenBackend::kSoftToken;
}

}  // namespace obkey_test

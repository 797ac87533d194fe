// The token library an end-to-end test runs over. The same test programs
// run twice under CTest: over the software token, and over p11token with
// SoftHSMv2 (the p11token libraries first on the library path).
#ifndef OBKEY_TESTS_SUPPORT_TOKEN_BACKEND_H
#define OBKEY_TESTS_SUPPORT_TOKEN_BACKEND_H

#include <stdint.h>

#include <string>

namespace obkey_test {

class TokenTestEnv;

enum class TokenBackend { kSoftToken, kPkcs11 };

// CurrentTokenBackend says which token library the process loaded: the one
// whose XC_ConnectEkey lies in a file of a "p11token" folder is p11token,
// any other the software token.
TokenBackend CurrentTokenBackend();
const char *TokenBackendName(TokenBackend backend);

// PrepareTestTokens makes tokens that devices 0 to 5 can be formatted on:
// the software token's store folder below `folder`, or the process's
// SoftHSMv2 store. Returns false (with a test failure) when it cannot.
bool PrepareTestTokens(const std::string &folder);

// UnplugTestToken makes the configured device one without a token: the
// software token looks in an empty folder; over PKCS #11 the configuration
// names a device beyond the slots with a token.
void UnplugTestToken(TokenTestEnv *env);

// TokenCountsPinRetries says whether wrong user PINs lock the token's PIN.
// The software token allows ten tries; SoftHSMv2 keeps no retry counter.
bool TokenCountsPinRetries();

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_TOKEN_BACKEND_H

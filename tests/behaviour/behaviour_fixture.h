// TokenBehaviour: one case of the behaviour suite over the token library
// that $OBKEY_TOKEN_BACKEND names (tests/support/library_backends.h): a
// freshly formatted token on device 0 and a connection to it. The same
// cases run over every backend; where a backend refuses what a case needs,
// the case checks that refusal and stops there, reported as skipped.
#ifndef OBKEY_TESTS_BEHAVIOUR_BEHAVIOUR_FIXTURE_H
#define OBKEY_TESTS_BEHAVIOUR_BEHAVIOUR_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "library_backends.h"
#include "rsa_test_keys.h"
#include "softtoken_status.h"
#include "temp_folder.h"

namespace obkey_behaviour {

using Bytes = std::vector<uint8_t>;
using obkey_test::LibraryBackend;

inline constexpr char kUserPin[] = "12345678";
// A wrong PIN of a length every backend takes: it ends the login.
inline constexpr char kWrongPin[] = "00000000";
inline constexpr int32_t kDevice = 0;
inline constexpr int32_t kOtherDevice = 1;
inline constexpr int32_t kDeviceCount = 2;
// A device no backend has a token for.
inline constexpr int32_t kNoTokenDevice = 7;

inline const uint8_t *Pin(const char *text) {
  return reinterpret_cast<const uint8_t *>(text);
}
inline uint32_t Len(const char *text) {
  return static_cast<uint32_t>(std::strlen(text));
}

class TokenBehaviour : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = obkey_test::CurrentLibraryBackend();
    ASSERT_NE(backend_, nullptr);
    folder_ = obkey_test::MakeTempFolder("obkey-behaviour");
    ASSERT_FALSE(folder_.empty());
    ASSERT_TRUE(obkey_test::PrepareBackendTokens(*backend_, folder_, kDeviceCount));
    ASSERT_TRUE(Library());
    ASSERT_EQ(Format(kDevice), 0);
    ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
  }

  void TearDown() override {
    if (session_ != 0) xc_.DisconnectEkey(session_);
    obkey_test::RemoveTree(folder_);
  }

  // Library loads the backend's libraries once for the process.
  bool Library() {
    static obkey_test::TokenLibrary library;
    static const bool loaded = obkey_test::LoadTokenLibrary(*backend_, &library);
    xc_ = library;
    return loaded;
  }

  int32_t Format(int32_t device) {
    return xc_.FormatMWKey(backend_->admin_pin, backend_->admin_pin, device);
  }

  int32_t Login(const char *pin = kUserPin, XcHandle session = 0) {
    return xc_.VerifyPin(session != 0 ? session : session_, Pin(pin), Len(pin), XC_PIN_USER);
  }

  // Reconnect ends the connection and opens another to the same device.
  void Reconnect() {
    ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
    session_ = 0;
    ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
  }

  // LogOut ends the login with a wrong PIN.
  void LogOut() { ASSERT_EQ(Login(kWrongPin), XCST_PIN_INCORRECT); }

  // NewContainer creates a container, logged in first where the backend
  // makes objects for a logged-in user only.
  XcHandle NewContainer(const char *name) {
    if (backend_->objects_need_login) {
      EXPECT_EQ(Login(), 0);
    }
    XcHandle container = 0;
    EXPECT_EQ(xc_.CreateContainer(session_, name, &container, XC_CONTAINER_CREATE), 0) << name;
    return container;
  }

  // TestKey is an RSA key of OpenSSL's, made once per process.
  static EVP_PKEY *TestKey() {
    static obkey::softtoken::testing::Pkey key = obkey::softtoken::testing::NewRsaKey(1024);
    return key.get();
  }

  // ImportKey writes `key` (TestKey when null) as the pair of `key_type`,
  // in the loose DER that obkey's key import makes.
  int32_t ImportKey(XcHandle container, uint32_t key_type, EVP_PKEY *key = nullptr) {
    Bytes der = obkey::softtoken::testing::LooseRsaDer(key != nullptr ? key : TestKey(), 1);
    return xc_.WriteRSAKey(container, 0, 0, der.data(), static_cast<uint32_t>(der.size()),
                           key_type);
  }

  // Sign signs a digest with the signature pair; the status alone.
  int32_t Sign(XcHandle container) {
    const uint8_t digest[20] = {1, 2, 3};
    uint8_t out[XC_RSA_BLOCK];
    uint32_t len = sizeof(out);
    return xc_.RSASign(container, digest, sizeof(digest), out, &len,
                       XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG);
  }

  // ReadableWithoutLogin says whether obkey's objects are seen without the
  // login (they are private where the backend makes no public ones).
  bool ReadableWithoutLogin() const { return !backend_->objects_need_login; }

  // ContainersAndFilesRefused: where the backend refuses obkey's data
  // objects, checks that a container and a user file are refused with its
  // refusal, and says so.
  bool ContainersAndFilesRefused() {
    if (backend_->data_refusal == 0) return false;
    EXPECT_EQ(Login(), 0);
    XcHandle handle = 0;
    EXPECT_EQ(xc_.CreateContainer(session_, "PROBE_SIG", &handle, XC_CONTAINER_CREATE),
              backend_->data_refusal);
    EXPECT_EQ(xc_.CreateUserFile(session_, 1, 4, XC_USER_FILE_CREATE, &handle),
              backend_->data_refusal);
    return true;
  }

  // KeyGenerationRefused: the same for key generation, in `container`.
  bool KeyGenerationRefused(XcHandle container) {
    if (backend_->keygen_refusal == 0) return false;
    EXPECT_EQ(Login(), 0);
    EXPECT_EQ(xc_.GenRSAKey(container, XC_KEY_SIGNATURE), backend_->keygen_refusal);
    return true;
  }

  const LibraryBackend *backend_ = nullptr;
  obkey_test::TokenLibrary xc_;
  std::string folder_;
  XcHandle session_ = 0;
};

// The first statements of a case that needs containers and user files, or
// key generation, where a backend may refuse them.
#define NEEDS_CONTAINERS_AND_FILES()                                                  \
  if (ContainersAndFilesRefused()) {                                                  \
    GTEST_SKIP() << backend_->name << " refuses obkey's data objects: 0x" << std::hex \
                 << backend_->data_refusal;                                           \
  }
#define NEEDS_KEY_GENERATION(container)                                         \
  if (KeyGenerationRefused(container)) {                                        \
    GTEST_SKIP() << backend_->name << " makes no RSA key pairs: 0x" << std::hex \
                 << backend_->keygen_refusal;                                   \
  }

}  // namespace obkey_behaviour

#endif  // OBKEY_TESTS_BEHAVIOUR_BEHAVIOUR_FIXTURE_H

// P11TokenTest: p11token's functions over a freshly formatted SoftHSMv2
// token (device 0 of a store made once for the process), with a session
// open, and a PKCS #11 session of the test's own to look at what the
// library left on the token.
#ifndef OBKEY_TESTS_UNIT_P11TOKEN_P11TOKEN_FIXTURE_H
#define OBKEY_TESTS_UNIT_P11TOKEN_P11TOKEN_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "module.h"
#include "objects.h"
#include "p11token_api.h"
#include "p11token_guard.h"
#include "p11token_status.h"
#include "softhsm_tokens.h"

namespace obkey::p11token::testing {

// CreatePublicDataObject makes a public token data object of obkey's
// application, as another program would, behind p11token's back. Returns
// the module's answer.
inline CK_RV CreatePublicDataObject(const Cryptoki &c, const std::string &label,
                                    const uint8_t *value, size_t value_len) {
  const CK_OBJECT_CLASS data_class = CKO_DATA;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  std::string text = label;
  CK_ATTRIBUTE tmpl[] = {
      {CKA_CLASS, const_cast<CK_OBJECT_CLASS *>(&data_class), sizeof(data_class)},
      {CKA_TOKEN, &yes, sizeof(yes)},
      {CKA_PRIVATE, &no, sizeof(no)},
      {CKA_APPLICATION, const_cast<char *>(kApplication), std::strlen(kApplication)},
      {CKA_LABEL, text.data(), text.size()},
      {CKA_VALUE, const_cast<uint8_t *>(value), value_len},
  };
  CK_OBJECT_HANDLE created = 0;
  return c.functions->C_CreateObject(c.session, tmpl, 6, &created);
}

using Bytes = std::vector<uint8_t>;

inline constexpr int32_t kDevice = 0;
inline constexpr int32_t kTokenCount = 2;
inline constexpr char kUserPin[] = "12345678";

class P11TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::ProcessSoftHsmTokens(kTokenCount).ok());
    ASSERT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, obkey_test::kSoftHsmSoPin, kDevice), 0);
    ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
    ASSERT_EQ(ModuleFunctions(&raw_.functions), 0);
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(FindDeviceSlot(raw_.functions, kDevice, &slot), 0);
    ASSERT_EQ(
        raw_.functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &raw_.session),
        CKR_OK);
  }

  void TearDown() override {
    if (session_ != 0) DisconnectEkey(session_);
    if (raw_.session != CK_INVALID_HANDLE) raw_.functions->C_CloseSession(raw_.session);
  }

  int32_t Login(const char *pin = kUserPin) {
    return VerifyPin(session_, reinterpret_cast<const uint8_t *>(pin),
                     static_cast<uint32_t>(std::strlen(pin)), XC_PIN_USER);
  }

  XcHandle NewContainer(const char *name) {
    XcHandle container = 0;
    EXPECT_EQ(CreateContainer(session_, name, &container, XC_CONTAINER_CREATE), 0) << name;
    return container;
  }

  // Objects of `object_class` labelled `label`, as any program sees them
  // (private ones only while the user is logged in).
  std::vector<CK_OBJECT_HANDLE> Objects(CK_OBJECT_CLASS object_class, const std::string &label) {
    std::vector<CK_OBJECT_HANDLE> objects;
    EXPECT_EQ(FindLabelled(raw_, object_class, label, &objects), 0);
    return objects;
  }

  // SignOnce signs as obkey does, on a connection of its own: connect, the
  // signature container, its key flags, the signature, disconnect. Each
  // call goes through the exports' guard, as from several threads.
  static int32_t SignOnce() {
    XcHandle session = 0, container = 0;
    int32_t status = Guarded([&] { return ConnectEkey(kDevice, &session); });
    if (status != 0) return status;
    uint8_t out[XC_RSA_BLOCK];
    uint32_t len = sizeof(uint32_t);
    status = Guarded([&] { return SetCurContainer(session, XC_SLOT_SIGNATURE, &container); });
    if (status == 0) {
      status = Guarded(
          [&] { return GetContainerParam(container, XC_CONTAINER_PARAM_FLAGS, out, &len, 0); });
    }
    if (status == 0) {
      len = sizeof(out);
      const uint8_t digest[20] = {1, 2, 3};
      status = Guarded([&] {
        return RSASign(container, digest, sizeof(digest), out, &len,
                       XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG);
      });
    }
    Guarded([&] { return DisconnectEkey(session); });
    return status;
  }

  XcHandle session_ = 0;
  Cryptoki raw_;
};

}  // namespace obkey::p11token::testing

#endif  // OBKEY_TESTS_UNIT_P11TOKEN_P11TOKEN_FIXTURE_H

// User PIN, retry counter, login memory and formatting.
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

class PinTest : public TokenTest {
 protected:
  // SignatureContainer makes a container whose use proves a login.
  XcHandle SignatureContainer(XcHandle session) {
    XcHandle container = 0;
    if (CreateContainer(session, "SIG", &container, XC_CONTAINER_CREATE) != 0) {
      EXPECT_EQ(CreateContainer(session, "SIG", &container, XC_CONTAINER_OPEN), 0);
    }
    return container;
  }
  // LoginHolds says whether an operation that needs the PIN is allowed.
  bool LoginHolds(XcHandle session) {
    uint8_t cert[1] = {1};
    return WriteCert(SignatureContainer(session), cert, 1, XC_KEY_SIGNATURE) == 0;
  }
};

TEST_F(PinTest, InitialPinVerifiesAndOtherArgumentsAreRefused) {
  XcHandle session = Connect();
  const std::string long_pin(65, '1');
  struct Case {
    const char *what;
    const uint8_t *pin;
    uint32_t len;
    uint32_t type;
    int32_t expected;
  };
  const Case cases[] = {
      {"PIN type 1", Bytes("12345678"), 8, 1, XCST_BAD_PIN_TYPE},
      {"null PIN", nullptr, 8, XC_PIN_USER, XCST_BAD_ARGUMENT},
      {"empty PIN", Bytes(""), 0, XC_PIN_USER, XCST_PIN_LENGTH},
      {"65-byte PIN", Bytes(long_pin.c_str()), 65, XC_PIN_USER, XCST_PIN_LENGTH},
      {"prefix of the PIN", Bytes("1234567"), 7, XC_PIN_USER, XCST_PIN_INCORRECT},
      {"right PIN", Bytes("12345678"), 8, XC_PIN_USER, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(VerifyPin(session, c.pin, c.len, c.type), c.expected) << c.what;
  }
  EXPECT_EQ(VerifyPin(0, Bytes("12345678"), 8, XC_PIN_USER), XCST_BAD_HANDLE);
}

TEST_F(PinTest, RightPinResetsTheCounterAndTenWrongOnesLock) {
  XcHandle session = Connect();
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 9; ++i) ASSERT_EQ(Login(session, "00000000"), XCST_PIN_INCORRECT) << i;
    ASSERT_EQ(Login(session), 0) << "round " << round;
  }
  for (int i = 0; i < 9; ++i) ASSERT_EQ(Login(session, "00000000"), XCST_PIN_INCORRECT);
  EXPECT_EQ(Login(session, "00000000"), XCST_PIN_LOCKED);
  EXPECT_EQ(Login(session), XCST_PIN_LOCKED);
  EXPECT_FALSE(LoginHolds(session));
}

TEST_F(PinTest, CounterSurvivesReconnectAndFormatUnlocks) {
  for (int i = 0; i < 9; ++i) {
    XcHandle session = Connect();
    ASSERT_EQ(Login(session, "99999999"), XCST_PIN_INCORRECT);
    Disconnect(session);
  }
  XcHandle session = Connect();
  EXPECT_EQ(Login(session, "99999999"), XCST_PIN_LOCKED);
  Disconnect(session);
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  session = Connect();
  EXPECT_EQ(Login(session), 0);
}

TEST_F(PinTest, LoginIsRememberedAcrossSessionsUntilFormatOrPinChange) {
  XcHandle session = Connect();
  EXPECT_FALSE(LoginHolds(session));
  ASSERT_EQ(Login(session), 0);
  Disconnect(session);

  session = Connect();
  EXPECT_TRUE(LoginHolds(session)) << "login forgotten by a new session";
  ASSERT_EQ(ChangePin(session, Bytes("12345678"), 8, Bytes("87654321"), 8, XC_PIN_USER), 0);
  EXPECT_FALSE(LoginHolds(session)) << "login kept after a PIN change";
  ASSERT_EQ(Login(session, "87654321"), 0);
  EXPECT_TRUE(LoginHolds(session));
  Disconnect(session);

  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  session = Connect();
  EXPECT_FALSE(LoginHolds(session)) << "login kept after formatting";
}

TEST_F(PinTest, WrongPinEndsAnEarlierLogin) {
  XcHandle session = LoggedInSession();
  ASSERT_EQ(Login(session, "11111111"), XCST_PIN_INCORRECT);
  EXPECT_FALSE(LoginHolds(session));
}

TEST_F(PinTest, LoginBelongsToItsDevice) {
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 1), 0);
  Login(Connect(0));
  EXPECT_FALSE(LoginHolds(Connect(1)));
}

TEST_F(PinTest, ChangePinNeedsTheCurrentPin) {
  XcHandle session = Connect();
  EXPECT_EQ(ChangePin(session, Bytes("1111"), 4, Bytes("2222"), 4, XC_PIN_USER),
            XCST_PIN_INCORRECT);
  EXPECT_EQ(ChangePin(session, Bytes("12345678"), 8, Bytes("2222"), 4, 1), XCST_BAD_PIN_TYPE);
  EXPECT_EQ(ChangePin(session, Bytes("12345678"), 8, Bytes(""), 0, XC_PIN_USER), XCST_PIN_LENGTH);
  EXPECT_EQ(ChangePin(session, Bytes("12345678"), 8, nullptr, 4, XC_PIN_USER), XCST_BAD_ARGUMENT);
  // A PIN is a byte string: embedded zeros count.
  const uint8_t new_pin[4] = {'a', 0, 'b', 0};
  ASSERT_EQ(ChangePin(session, Bytes("12345678"), 8, new_pin, 4, XC_PIN_USER), 0);
  Disconnect(session);
  session = Connect();
  EXPECT_EQ(Login(session), XCST_PIN_INCORRECT);
  EXPECT_EQ(VerifyPin(session, new_pin, 3, XC_PIN_USER), XCST_PIN_INCORRECT);
  EXPECT_EQ(VerifyPin(session, new_pin, 4, XC_PIN_USER), 0);
}

TEST_F(PinTest, FormatNeedsTheAdminPinAndLeavesTheTokenOnRefusal) {
  XcHandle session = LoggedInSession();
  SignatureContainer(session);
  Disconnect(session);
  const std::vector<uint8_t> before = ReadFileBytes(StorePath());
  EXPECT_EQ(FormatToken("ZARQU.1975", kInitialAdminPin, 0), XCST_ADMIN_PIN_INCORRECT);
  EXPECT_EQ(FormatToken(nullptr, kInitialAdminPin, 0), XCST_BAD_ARGUMENT);
  EXPECT_EQ(FormatToken(kInitialAdminPin, nullptr, 0), XCST_BAD_ARGUMENT);
  EXPECT_EQ(ReadFileBytes(StorePath()), before);
  // A device without a store takes only the initial admin PIN.
  EXPECT_EQ(FormatToken("other", "other", 5), XCST_ADMIN_PIN_INCORRECT);
  XcHandle none = 0;
  EXPECT_EQ(ConnectEkey(5, &none), XCST_NO_TOKEN);
}

TEST_F(PinTest, FormatErasesEverythingAndResetsThePin) {
  XcHandle session = LoggedInSession();
  XcHandle sig = SignatureContainer(session);
  uint8_t cert[3] = {1, 2, 3};
  ASSERT_EQ(WriteCert(sig, cert, 3, XC_KEY_SIGNATURE), 0);
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 4, 10, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(ChangePin(session, Bytes("12345678"), 8, Bytes("new-pin"), 7, XC_PIN_USER), 0);
  Disconnect(session);

  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  session = Connect();
  XcHandle container = 0;
  EXPECT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), XCST_CONTAINER_NOT_FOUND);
  EXPECT_EQ(CreateUserFile(session, 4, 10, XC_USER_FILE_OPEN, &file), XCST_FILE_NOT_FOUND);
  EXPECT_EQ(Login(session, "new-pin"), XCST_PIN_INCORRECT);
  EXPECT_EQ(Login(session), 0);
}

}  // namespace
}  // namespace obkey::softtoken::testing

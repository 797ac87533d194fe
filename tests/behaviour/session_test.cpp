// Connections and their handles, the user PIN, formatting, random numbers
// and the token parameter, over every token library.
#include <functional>

#include "behaviour_fixture.h"

namespace obkey_behaviour {
namespace {

TEST_F(TokenBehaviour, ConnectionsNeedATokenAndEndAlone) {
  XcHandle other = 0x55;
  EXPECT_EQ(xc_.ConnectEkey(-1, &other), XCST_NO_TOKEN);
  EXPECT_EQ(xc_.ConnectEkey(kNoTokenDevice, &other), XCST_NO_TOKEN);
  EXPECT_EQ(other, 0x55u) << "written on a failure";
  EXPECT_EQ(xc_.ConnectEkey(kDevice, nullptr), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.DisconnectEkey(0), XCST_BAD_HANDLE);  // what obkey does after a failed connect
  // Another device is a token of its own; closing its connection leaves
  // this one's handles working.
  ASSERT_EQ(Format(kOtherDevice), 0);
  ASSERT_EQ(xc_.ConnectEkey(kOtherDevice, &other), 0);
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, session_);
  EXPECT_EQ(Login(kUserPin, other), 0);
  uint8_t random[8];
  EXPECT_EQ(xc_.GenRandom(other, random, sizeof(random)), 0);
  EXPECT_EQ(xc_.DisconnectEkey(other), 0);
  EXPECT_EQ(xc_.DisconnectEkey(other), XCST_BAD_HANDLE);
  EXPECT_EQ(xc_.GenRandom(other, random, sizeof(random)), XCST_BAD_HANDLE);
  EXPECT_EQ(xc_.GenRandom(session_, random, sizeof(random)), 0);
}

TEST_F(TokenBehaviour, EveryCallRefusesHandlesOfAnotherKindOrAClosedConnection) {
  NEEDS_CONTAINERS_AND_FILES();
  XcHandle container = NewContainer("HANDLE_SIG"), file = 0, out = 0;
  ASSERT_EQ(xc_.CreateUserFile(session_, 7, 4, XC_USER_FILE_CREATE, &file), 0);
  uint8_t buffer[256] = {};
  uint32_t len = sizeof(buffer);
  const uint8_t *pin = Pin(kUserPin);
  enum Kind { kSession, kContainer, kFile };
  struct Case {
    const char *what;
    std::function<int32_t(XcHandle)> call;
    Kind kind;
  } cases[] = {
      {"VerifyPin", [&](XcHandle h) { return xc_.VerifyPin(h, pin, 8, 2); }, kSession},
      {"ChangePin", [&](XcHandle h) { return xc_.ChangePin(h, pin, 8, pin, 8, 2); }, kSession},
      {"CreateContainer", [&](XcHandle h) { return xc_.CreateContainer(h, "X", &out, 1); },
       kSession},
      {"SetCurContainer", [&](XcHandle h) { return xc_.SetCurContainer(h, 0, &out); }, kSession},
      {"GenRandom", [&](XcHandle h) { return xc_.GenRandom(h, buffer, 8); }, kSession},
      {"GetEkeyParam", [&](XcHandle h) { return xc_.GetEkeyParam(h, 8, buffer, &len, 0); },
       kSession},
      {"CreateUserFile", [&](XcHandle h) { return xc_.CreateUserFile(h, 7, 4, 9, &out); },
       kSession},
      {"GetContainerParam",
       [&](XcHandle h) { return xc_.GetContainerParam(h, 2, buffer, &len, 0); }, kContainer},
      {"GenRSAKey", [&](XcHandle h) { return xc_.GenRSAKey(h, 2); }, kContainer},
      {"RSAEncrypt", [&](XcHandle h) { return xc_.RSAEncrypt(h, buffer, 4, buffer, &len, 2); },
       kContainer},
      {"RSADecrypt", [&](XcHandle h) { return xc_.RSADecrypt(h, buffer, 4, buffer, &len, 2); },
       kContainer},
      {"RSASign", [&](XcHandle h) { return xc_.RSASign(h, buffer, 4, buffer, &len, 2); },
       kContainer},
      {"ReadRSAPubKey", [&](XcHandle h) { return xc_.ReadRSAPubKey(h, buffer, &len, 2); },
       kContainer},
      {"WriteRSAKey", [&](XcHandle h) { return xc_.WriteRSAKey(h, 0, 0, buffer, 4, 2); },
       kContainer},
      {"WriteCert", [&](XcHandle h) { return xc_.WriteCert(h, buffer, 4, 2); }, kContainer},
      {"ReadCert", [&](XcHandle h) { return xc_.ReadCert(h, buffer, &len, 2); }, kContainer},
      {"ReadUserFile", [&](XcHandle h) { return xc_.ReadUserFile(h, buffer, &len); }, kFile},
      {"WriteUserFile", [&](XcHandle h) { return xc_.WriteUserFile(h, buffer, 1); }, kFile},
      {"DeleteUserFile", [&](XcHandle h) { return xc_.DeleteUserFile(h); }, kFile},
      {"DisconnectEkey", [&](XcHandle h) { return xc_.DisconnectEkey(h); }, kSession},
  };
  const XcHandle of_kind[] = {session_, container, file};
  for (const Case &c : cases) {
    for (XcHandle wrong : {XcHandle{0}, of_kind[(c.kind + 1) % 3], of_kind[(c.kind + 2) % 3]}) {
      len = sizeof(buffer);
      EXPECT_EQ(c.call(wrong), XCST_BAD_HANDLE) << c.what << " with handle " << wrong;
    }
  }
  // The disconnect ends every handle of the connection, and only its.
  ASSERT_EQ(Format(kOtherDevice), 0);
  XcHandle other = 0, other_container = 0, other_file = 0;
  ASSERT_EQ(xc_.ConnectEkey(kOtherDevice, &other), 0);
  ASSERT_EQ(Login(kUserPin, other), 0);
  ASSERT_EQ(xc_.CreateContainer(other, "OTHER_SIG", &other_container, XC_CONTAINER_CREATE), 0);
  ASSERT_EQ(xc_.CreateUserFile(other, 7, 4, XC_USER_FILE_CREATE, &other_file), 0);
  ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
  session_ = 0;
  for (const Case &c : cases) {
    len = sizeof(buffer);
    EXPECT_EQ(c.call(of_kind[c.kind]), XCST_BAD_HANDLE) << c.what << " after the disconnect";
  }
  len = sizeof(buffer);
  EXPECT_EQ(xc_.GetContainerParam(other_container, 2, buffer, &len, 0), 0);
  EXPECT_EQ(xc_.WriteUserFile(other_file, buffer, 4), 0);
  EXPECT_EQ(xc_.DisconnectEkey(other), 0);
}

TEST_F(TokenBehaviour, UserPinChecks) {
  struct Case {
    const char *what;
    const uint8_t *pin;
    uint32_t len;
    uint32_t type;
    int32_t status;
  } cases[] = {
      {"right PIN", Pin(kUserPin), 8, XC_PIN_USER, 0},
      {"wrong PIN", Pin("87654321"), 8, XC_PIN_USER, XCST_PIN_INCORRECT},
      {"right PIN, cut short", Pin(kUserPin), 7, XC_PIN_USER, XCST_PIN_INCORRECT},
      {"PIN type 1", Pin(kUserPin), 8, 1, XCST_BAD_PIN_TYPE},
      {"null PIN", nullptr, 8, XC_PIN_USER, XCST_BAD_ARGUMENT},
      {"empty PIN", Pin(kUserPin), 0, XC_PIN_USER, XCST_PIN_LENGTH},
      {"right PIN again", Pin(kUserPin), 8, XC_PIN_USER, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(xc_.VerifyPin(session_, c.pin, c.len, c.type), c.status) << c.what;
  }
}

// A token that counts wrong PINs locks at its count, a right PIN in
// between starts the count again, and only a format unlocks; one that
// counts none takes the right PIN after any number of wrong ones.
TEST_F(TokenBehaviour, WrongPinsLockATokenThatCountsThem) {
  const uint32_t tries = backend_->pin_tries;
  for (uint32_t i = 0; i + 1 < (tries != 0 ? tries : 12); ++i) {
    ASSERT_EQ(Login(kWrongPin), XCST_PIN_INCORRECT) << i;
  }
  ASSERT_EQ(Login(), 0);
  if (tries == 0) return;
  for (uint32_t i = 0; i + 1 < tries; ++i) ASSERT_EQ(Login(kWrongPin), XCST_PIN_INCORRECT) << i;
  EXPECT_EQ(Login(kWrongPin), XCST_PIN_LOCKED);
  EXPECT_EQ(Login(), XCST_PIN_LOCKED);
  Reconnect();
  EXPECT_EQ(Login(), XCST_PIN_LOCKED);
  ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
  session_ = 0;
  ASSERT_EQ(Format(kDevice), 0);
  ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(Login(), 0);
}

// The login outlives its connection, as a card keeps its state, and a wrong
// PIN or a format ends it; a login made after a format lasts again.
TEST_F(TokenBehaviour, ALoginLastsAcrossConnectionsUntilAWrongPinOrAFormat) {
  NEEDS_CONTAINERS_AND_FILES();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "the first login" : "a login after a format");
    ASSERT_EQ(Login(), 0);
    XcHandle container = NewContainer("LOGIN_SIG");
    ASSERT_EQ(ImportKey(container, XC_KEY_SIGNATURE), 0);
    Reconnect();
    ASSERT_EQ(xc_.SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), 0);
    EXPECT_EQ(Sign(container), 0) << "the login ended with its connection";
    Reconnect();
    ASSERT_EQ(xc_.SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), 0);
    LogOut();
    EXPECT_EQ(Sign(container), XCST_NOT_LOGGED_IN);
    ASSERT_EQ(Login(), 0);
    EXPECT_EQ(Sign(container), 0);
    ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
    session_ = 0;
    ASSERT_EQ(Format(kDevice), 0);
    ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
    if (ReadableWithoutLogin()) {
      XcHandle probe = NewContainer("PROBE_ENC");
      EXPECT_EQ(ImportKey(probe, XC_KEY_EXCHANGE), XCST_NOT_LOGGED_IN) << "a format ends the login";
    }
  }
}

TEST_F(TokenBehaviour, PinChangeNeedsTheCurrentPinAndAnAcceptableNewOne) {
  const char kNewPin[] = "new-pin1";
  const std::string too_long(backend_->max_pin_len + 1, 'p');
  struct Case {
    const char *what;
    const uint8_t *old_pin, *new_pin;
    uint32_t new_len, type;
    int32_t status;
  } refused[] = {
      {"wrong current PIN", Pin(kWrongPin), Pin(kNewPin), 8, XC_PIN_USER, XCST_PIN_INCORRECT},
      {"empty new PIN", Pin(kUserPin), Pin(kNewPin), 0, XC_PIN_USER, XCST_PIN_LENGTH},
      {"new PIN too long", Pin(kUserPin), Pin(too_long.c_str()), Len(too_long.c_str()), XC_PIN_USER,
       XCST_PIN_LENGTH},
      {"null new PIN", Pin(kUserPin), nullptr, 8, XC_PIN_USER, XCST_BAD_ARGUMENT},
      {"null current PIN", nullptr, Pin(kNewPin), 8, XC_PIN_USER, XCST_BAD_ARGUMENT},
      {"PIN type 1", Pin(kUserPin), Pin(kNewPin), 8, 1, XCST_BAD_PIN_TYPE},
  };
  for (const Case &c : refused) {
    EXPECT_EQ(xc_.ChangePin(session_, c.old_pin, 8, c.new_pin, c.new_len, c.type), c.status)
        << c.what;
  }
  ASSERT_EQ(Login(), 0);
  XcHandle container = 0;
  if (backend_->data_refusal == 0) {
    container = NewContainer("CHANGE_SIG");
    ASSERT_EQ(ImportKey(container, XC_KEY_SIGNATURE), 0);
  }
  ASSERT_EQ(xc_.ChangePin(session_, Pin(kUserPin), 8, Pin(kNewPin), 8, XC_PIN_USER), 0);
  if (container != 0) {
    EXPECT_EQ(Sign(container), XCST_NOT_LOGGED_IN) << "the change ends the login";
  }
  EXPECT_EQ(Login(), XCST_PIN_INCORRECT);
  EXPECT_EQ(Login(kNewPin), 0);
  // A PIN is a byte string: embedded zero bytes count.
  const uint8_t zeros[] = {'p', 0, 'i', 0, 'n', 0};
  ASSERT_EQ(xc_.ChangePin(session_, Pin(kNewPin), 8, zeros, sizeof(zeros), XC_PIN_USER), 0);
  Reconnect();
  EXPECT_EQ(xc_.VerifyPin(session_, zeros, 5, XC_PIN_USER), XCST_PIN_INCORRECT);
  EXPECT_EQ(xc_.VerifyPin(session_, zeros, sizeof(zeros), XC_PIN_USER), 0);
}

TEST_F(TokenBehaviour, AFormatChecksTheAdminPinAndResetsTheUserPin) {
  const char kChangedPin[] = "changed1";
  ASSERT_EQ(xc_.ChangePin(session_, Pin(kUserPin), 8, Pin(kChangedPin), 8, XC_PIN_USER), 0);
  ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
  session_ = 0;
  const char *admin = backend_->admin_pin;
  struct Case {
    const char *admin_pin, *second_text;
    int32_t device, status;
  } refused[] = {
      {"WRONG.1974", "WRONG.1974", kDevice, XCST_ADMIN_PIN_INCORRECT},
      {nullptr, admin, kDevice, XCST_BAD_ARGUMENT},
      {admin, nullptr, kDevice, XCST_BAD_ARGUMENT},
      {admin, admin, -1, XCST_BAD_ARGUMENT},
  };
  for (const Case &c : refused) {
    EXPECT_EQ(xc_.FormatMWKey(c.admin_pin, c.second_text, c.device), c.status)
        << (c.admin_pin != nullptr ? c.admin_pin : "(null)") << ", device " << c.device;
  }
  ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(Login(kChangedPin), 0) << "a refused format changed the token";
  ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
  session_ = 0;
  ASSERT_EQ(Format(kDevice), 0);
  ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(Login(kChangedPin), XCST_PIN_INCORRECT);
  EXPECT_EQ(Login(), 0);
}

TEST_F(TokenBehaviour, RandomNumbersFillTheBufferAlone) {
  uint8_t a[40], b[40];
  std::memset(a, 0xEE, sizeof(a));
  std::memset(b, 0xEE, sizeof(b));
  ASSERT_EQ(xc_.GenRandom(session_, a, 32), 0);
  ASSERT_EQ(xc_.GenRandom(session_, b, 32), 0);
  EXPECT_NE(std::memcmp(a, b, 32), 0);
  EXPECT_EQ(Bytes(a + 32, a + 40), Bytes(8, 0xEE));
  EXPECT_EQ(xc_.GenRandom(session_, nullptr, 0), 0);
  EXPECT_EQ(xc_.GenRandom(session_, nullptr, 4), XCST_BAD_ARGUMENT);
}

TEST_F(TokenBehaviour, TheTokenParameterIsTwoHundredBytes) {
  uint8_t param[XC_EKEY_PARAM_SIZE + 8];
  std::memset(param, 0xEE, sizeof(param));
  uint32_t len = XC_EKEY_PARAM_SIZE - 1;
  EXPECT_EQ(xc_.GetEkeyParam(session_, 8, param, &len, 0), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
  EXPECT_EQ(param[0], 0xEE);
  len = sizeof(param);
  EXPECT_EQ(xc_.GetEkeyParam(session_, 8, nullptr, &len, 0), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
  EXPECT_EQ(xc_.GetEkeyParam(session_, 8, param, nullptr, 0), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.GetEkeyParam(session_, 7, param, &len, 0), XCST_BAD_PARAM);
  len = sizeof(param);
  ASSERT_EQ(xc_.GetEkeyParam(session_, 8, param, &len, 0), 0);
  EXPECT_EQ(len, XC_EKEY_PARAM_SIZE);
  EXPECT_EQ(Bytes(param, param + XC_EKEY_PARAM_SIZE), Bytes(XC_EKEY_PARAM_SIZE, 0));
  EXPECT_EQ(param[XC_EKEY_PARAM_SIZE], 0xEE);
}

}  // namespace
}  // namespace obkey_behaviour

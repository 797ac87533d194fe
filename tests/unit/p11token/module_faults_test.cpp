// p11token over a module that fails, is overtaken by another writer or acts
// like modules other than SoftHSMv2: the test shim (p11_shim.cpp) in front
// of SoftHSMv2.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "p11_shim.h"
#include "p11token_fixture.h"

namespace obkey::p11token::testing {
namespace {

// Every test of this program runs over the shim, which wants C_Initialize's
// arguments as some software tokens do: without them nothing here works.
class ShimEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::ProcessSoftHsmTokens(kTokenCount).ok());
    setenv("OBKEY_SHIM_TARGET", obkey_test::SoftHsmTokens::ModulePath().c_str(), 1);
    setenv("OBKEY_PKCS11_MODULE", OBKEY_P11_SHIM, 1);
    setenv("OBKEY_SHIM_QUIRKS", std::to_string(kShimNeedsInitArgs).c_str(), 1);
    setenv("OBKEY_PKCS11_INIT_ARGS", kShimInitArgs, 1);
  }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new ShimEnvironment);

// The shim's controls, from the copy of it that p11token loaded.
struct Shim {
  Shim() {
    void *module = dlopen(OBKEY_P11_SHIM, RTLD_NOW | RTLD_LOCAL);
    reset = reinterpret_cast<decltype(reset)>(dlsym(module, "ShimReset"));
    calls = reinterpret_cast<decltype(calls)>(dlsym(module, "ShimCalls"));
    fail = reinterpret_cast<decltype(fail)>(dlsym(module, "ShimFail"));
    after = reinterpret_cast<decltype(after)>(dlsym(module, "ShimAfter"));
    quirks = reinterpret_cast<decltype(quirks)>(dlsym(module, "ShimSetQuirks"));
    sign_with = reinterpret_cast<decltype(sign_with)>(dlsym(module, "ShimSignWith"));
  }
  decltype(&ShimReset) reset;
  decltype(&ShimCalls) calls;
  decltype(&ShimFail) fail;
  decltype(&ShimAfter) after;
  decltype(&ShimSetQuirks) quirks;
  decltype(&ShimSignWith) sign_with;
};

class P11FaultTest : public P11TokenTest {
 protected:
  void SetUp() override {
    P11TokenTest::SetUp();
    shim_.reset();
    shim_.quirks(kShimNeedsInitArgs);
  }
  void TearDown() override {
    shim_.reset();
    shim_.quirks(kShimNeedsInitArgs);
    P11TokenTest::TearDown();
  }

  Bytes ReadFile(XcHandle file) {
    Bytes out(16, 0);
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(ReadUserFile(file, out.data(), &len), 0);
    out.resize(len);
    return out;
  }

  Bytes PublicKey(XcHandle container) {
    Bytes out(XC_PUBKEY_SIZE);
    uint32_t len = XC_PUBKEY_SIZE;
    EXPECT_EQ(ReadRSAPubKey(container, out.data(), &len, XC_KEY_SIGNATURE), 0);
    return out;
  }

  // SignedOnceWith makes container `name` with both key pairs, logged in,
  // and signs once: what a process learns at its first signature.
  XcHandle SignedOnceWith(const char *name) {
    XcHandle container = NewContainer(name);
    EXPECT_EQ(Login(), 0);
    EXPECT_EQ(GenRSAKey(container, XC_KEY_EXCHANGE), 0);
    EXPECT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
    EXPECT_EQ(SignOnce(), 0);
    return container;
  }

  // CallsOfASignature: the module calls of the fewer of two signatures in a
  // row (a stall of over a second between two makes the second read again
  // what it learned).
  unsigned long CallsOfASignature() {
    unsigned long fewest = ~0ul;
    for (int i = 0; i < 2; ++i) {
      shim_.reset();
      EXPECT_EQ(SignOnce(), 0);
      fewest = std::min(fewest, shim_.calls(nullptr));
    }
    return fewest;
  }

  Shim shim_;
};

const uint8_t kOld[] = {'o', 'l', 'd', '!'};

// A module's refusal to create obkey's data object, as p11token reports it.
constexpr int32_t Refusal(CK_RV rv) {
  return static_cast<int32_t>(P11ST_DATA_REFUSED_BASE | rv);
}
const uint8_t kNew[] = {'n', 'e', 'w', '!'};

// A replacement whose new object the module refuses keeps the old one: the
// new object is made before the old one goes.
TEST_F(P11FaultTest, AFailedReplacementKeepsTheOldObject) {
  ASSERT_EQ(Login(), 0);
  XcHandle container = NewContainer("FAULT_SIG"), file = 0;
  ASSERT_EQ(CreateUserFile(session_, 4, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(WriteUserFile(file, kOld, 4), 0);
  ASSERT_EQ(WriteCert(container, kOld, 4, XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  Bytes key_before = PublicKey(container);
  struct Case {
    const char *what;
    const char *refused_call;
    std::function<int32_t()> replace;
    std::function<bool()> old_kept;
  } cases[] = {
      {"user file", "C_CreateObject", [&] { return WriteUserFile(file, kNew, 4); },
       [&] { return ReadFile(file) == Bytes(kOld, kOld + 4); }},
      {"certificate", "C_CreateObject",
       [&] { return WriteCert(container, kNew, 4, XC_KEY_SIGNATURE); },
       [&] {
         Bytes out(16);
         uint32_t len = 16;
         return ReadCert(container, out.data(), &len, XC_KEY_SIGNATURE) == 0 &&
                Bytes(out.begin(), out.begin() + len) == Bytes(kOld, kOld + 4);
       }},
      {"key pair", "C_GenerateKeyPair", [&] { return GenRSAKey(container, XC_KEY_SIGNATURE); },
       [&] { return PublicKey(container) == key_before; }},
      {"container directory", "C_CreateObject",
       [&] {
         XcHandle other = 0;
         return CreateContainer(session_, "FAULT_ENC", &other, XC_CONTAINER_CREATE);
       },
       [&] { return SetCurContainer(session_, XC_SLOT_SIGNATURE, &container) == 0; }},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(shim_.fail(c.refused_call, 1, CKR_DEVICE_MEMORY), 0);
    EXPECT_EQ(c.replace(), P11ST_FILE_SPACE_FULL) << c.what;
    EXPECT_TRUE(c.old_kept()) << c.what;
    shim_.reset();
  }
}

// Another program's object of the same label, made while our write was
// between its creation and its check.
// RivalSession is another program's read-write session on the token.
Cryptoki RivalSession(CK_FUNCTION_LIST *functions, void *context) {
  Cryptoki rival{functions, CK_INVALID_HANDLE};
  functions->C_OpenSession(*static_cast<CK_SLOT_ID *>(context), CKF_SERIAL_SESSION | CKF_RW_SESSION,
                           nullptr, nullptr, &rival.session);
  return rival;
}

void CreateRivalFile(CK_FUNCTION_LIST *functions, void *context) {
  Cryptoki module_raw = RivalSession(functions, context);
  CreatePublicDataObject(module_raw, FileLabel(5), kOld, sizeof(kOld));
  functions->C_CloseSession(module_raw.session);
}

void DestroyFiles(CK_FUNCTION_LIST *functions, void *context) {
  Cryptoki module_raw = RivalSession(functions, context);
  std::vector<CK_OBJECT_HANDLE> objects;
  FindLabelled(module_raw, CKO_DATA, FileLabel(5), &objects);
  // Ours is the newest: the rival takes the one that was there before.
  if (!objects.empty()) functions->C_DestroyObject(module_raw.session, objects.front());
  functions->C_CloseSession(module_raw.session);
}

TEST_F(P11FaultTest, AWriteAnotherProgramOvertookIsNeverReportedDone) {
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(
      raw_.functions->C_Login(raw_.session, CKU_USER,
                              reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(kUserPin)), 8),
      CKR_USER_ALREADY_LOGGED_IN);
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session_, 5, 4, XC_USER_FILE_CREATE, &file), 0);
  struct Case {
    const char *what;
    void (*rival)(CK_FUNCTION_LIST *, void *);
    size_t objects_left;
  } cases[] = {
      {"a second current version appears", CreateRivalFile, 2},
      {"the version we replace vanishes", DestroyFiles, 1},
  };
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(FindDeviceSlot(raw_.functions, kDevice, &slot), 0);
  for (const Case &c : cases) {
    ASSERT_EQ(shim_.after("C_CreateObject", 1, c.rival, &slot), 0);
    EXPECT_EQ(WriteUserFile(file, kNew, 4), P11ST_CHANGED) << c.what;
    // Our new object went again; what the other writer left stays.
    std::vector<CK_OBJECT_HANDLE> left = Objects(CKO_DATA, FileLabel(5));
    EXPECT_EQ(left.size(), c.objects_left) << c.what;
    for (CK_OBJECT_HANDLE object : left) {
      Bytes value;
      ASSERT_EQ(ReadAttribute(raw_, object, CKA_VALUE, &value), 0);
      EXPECT_NE(value, Bytes(kNew, kNew + 4)) << c.what;
    }
    shim_.reset();
  }

  // The file written by another connection after this one read it: a write
  // made from what this one read would lose the other's.
  XcHandle other = 0, other_file = 0;
  uint8_t seen[4];
  uint32_t seen_len = sizeof(seen);
  ASSERT_EQ(ReadUserFile(file, seen, &seen_len), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &other), 0);
  ASSERT_EQ(CreateUserFile(other, 5, 0, XC_USER_FILE_OPEN, &other_file), 0);
  const Bytes others = {'o', 't', 'h', 'r'};
  ASSERT_NE(Bytes(seen, seen + 4), others);
  ASSERT_EQ(WriteUserFile(other_file, others.data(), 4), 0);
  EXPECT_EQ(WriteUserFile(file, kNew, 4), P11ST_CHANGED);
  EXPECT_EQ(ReadFile(other_file), others);
  EXPECT_EQ(DisconnectEkey(other), 0);

  // The container directory changed by another connection after this one
  // read it: writing ours over it would lose the other's container.
  XcHandle container = 0, other_session = 0;
  EXPECT_EQ(SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), P11ST_CONTAINER_NOT_FOUND);
  ASSERT_EQ(ConnectEkey(kDevice, &other_session), 0);
  ASSERT_EQ(CreateContainer(other_session, "RIVAL_ENC", &container, XC_CONTAINER_CREATE), 0);
  EXPECT_EQ(CreateContainer(session_, "LATE_SIG", &container, XC_CONTAINER_CREATE), P11ST_CHANGED);
  EXPECT_EQ(DisconnectEkey(other_session), 0);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(CreateContainer(session_, "RIVAL_ENC", &container, XC_CONTAINER_OPEN), 0);
  EXPECT_EQ(CreateContainer(session_, "LATE_SIG", &container, XC_CONTAINER_CREATE), 0);
}

// ReplaceFiles replaces file 5 as another writer does: its new version,
// then the one that was there before ours.
void ReplaceFiles(CK_FUNCTION_LIST *functions, void *context) {
  Cryptoki module_raw = RivalSession(functions, context);
  std::vector<CK_OBJECT_HANDLE> objects;
  FindLabelled(module_raw, CKO_DATA, FileLabel(5), &objects);
  CreatePublicDataObject(module_raw, FileLabel(5), kOld, sizeof(kOld));
  if (!objects.empty()) functions->C_DestroyObject(module_raw.session, objects.front());
  functions->C_CloseSession(module_raw.session);
}

// Each step of obkey's file calls that another writer overtook between two
// calls (two machines through one token, where no lock reaches) answers
// P11ST_CHANGED, on which obkey starts the label call again: never a missing
// or existing file, a closed handle, or a write told failed that stays.
TEST_F(P11FaultTest, AFileStepOvertakenBetweenTwoCallsAnswersChanged) {
  ASSERT_EQ(Login(), 0);
  XcHandle file = 0;
  // The other writer's steps, each on a connection of its own.
  auto other = [](bool create) {
    XcHandle session = 0, other_file = 0;
    ASSERT_EQ(ConnectEkey(kDevice, &session), 0);
    if (create) {
      EXPECT_EQ(CreateUserFile(session, 5, 4, XC_USER_FILE_CREATE, &other_file), 0);
    } else {
      EXPECT_EQ(CreateUserFile(session, 5, 0, XC_USER_FILE_OPEN, &other_file), 0);
      EXPECT_EQ(DeleteUserFile(other_file), 0);
    }
    EXPECT_EQ(DisconnectEkey(session), 0);
  };
  auto recreate = [&] { other(true); };
  auto remove = [&] { other(false); };
  recreate();
  // Found by a create, gone before the open that follows it.
  EXPECT_EQ(CreateUserFile(session_, 5, 4, XC_USER_FILE_CREATE, &file), P11ST_FILE_EXISTS);
  remove();
  EXPECT_EQ(CreateUserFile(session_, 5, 4, XC_USER_FILE_OPEN, &file), P11ST_CHANGED);
  // Deleted by this connection, made again by the other before this one
  // makes it.
  recreate();
  ASSERT_EQ(CreateUserFile(session_, 5, 4, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_EQ(DeleteUserFile(file), 0);
  recreate();
  EXPECT_EQ(CreateUserFile(session_, 5, 4, XC_USER_FILE_CREATE, &file), P11ST_CHANGED);
  // Destroyed under this connection's deletion.
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  ASSERT_EQ(CreateUserFile(session_, 5, 4, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_EQ(shim_.fail("C_DestroyObject", 1, CKR_OBJECT_HANDLE_INVALID), 0);
  EXPECT_EQ(DeleteUserFile(file), P11ST_CHANGED);
  shim_.reset();
  // Replaced whole by the other writer after this write checked the token,
  // before it destroyed the version it replaces: the other's stays alone.
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(FindDeviceSlot(raw_.functions, kDevice, &slot), 0);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  ASSERT_EQ(CreateUserFile(session_, 5, 0, XC_USER_FILE_OPEN, &file), 0);
  // The look after this write's new version: the third look of the write.
  ASSERT_EQ(shim_.after("C_FindObjectsFinal", 3, ReplaceFiles, &slot), 0);
  EXPECT_EQ(WriteUserFile(file, kNew, 4), P11ST_CHANGED);
  std::vector<CK_OBJECT_HANDLE> left = Objects(CKO_DATA, FileLabel(5));
  ASSERT_EQ(left.size(), 1u);
  Bytes value;
  ASSERT_EQ(ReadAttribute(raw_, left.front(), CKA_VALUE, &value), 0);
  EXPECT_EQ(value, Bytes(kOld, kOld + 4));
}

// Modules other than SoftHSMv2, as the shim acts them out.
TEST_F(P11FaultTest, QuirksOfOtherModulesAreMet) {
  XcHandle container = NewContainer("QUIRK_SIG"), file = 0;
  const uint8_t *pin = reinterpret_cast<const uint8_t *>(kUserPin);
  struct Case {
    const char *what;
    unsigned quirk;
    std::function<int32_t()> step;
    int32_t status;
  } cases[] = {
      {"public data objects refused", kShimRefusesPublicData,
       [&] { return CreateUserFile(session_, 6, 4, XC_USER_FILE_CREATE, &file); }, 0},
      {"no data objects at all", kShimNoDataObjects,
       [&] { return CreateUserFile(session_, 7, 4, XC_USER_FILE_CREATE, &file); },
       Refusal(CKR_ATTRIBUTE_VALUE_INVALID)},
      {"a result without its leading zeros", kShimDropsLeadingZeros,
       [&] {
         uint8_t cipher[XC_RSA_BLOCK], plain[XC_RSA_BLOCK];
         uint32_t cipher_len = sizeof(cipher), plain_len = sizeof(plain);
         int32_t status = RSAEncrypt(container, kOld, 4, cipher, &cipher_len, XC_KEY_SIGNATURE);
         // A padded block begins with a zero byte, which the module drops.
         if (status == 0) {
           status = RSADecrypt(container, cipher, cipher_len, plain, &plain_len, XC_KEY_SIGNATURE);
         }
         return status == 0 && (plain_len != 4 || std::memcmp(plain, kOld, 4) != 0) ? -1 : status;
       },
       0},
      {"a result's length is the buffer's", kShimReportsBufferSize,
       [&] {
         uint8_t out[XC_RSA_BLOCK];
         uint32_t len = sizeof(out);
         return RSAEncrypt(container, kOld, 4, out, &len, XC_KEY_SIGNATURE);
       },
       0},
      {"PIN change needs a login first", kShimSetPinNeedsLogin,
       [&] {
         raw_.functions->C_Logout(raw_.session);
         return ChangePin(session_, pin, 8, pin, 8, XC_PIN_USER);
       },
       0},
      {"PIN change needs a login first", kShimSetPinNeedsLogin,
       [&] {
         raw_.functions->C_Logout(raw_.session);
         return ChangePin(session_, pin, 8, pin, 8, XC_PIN_USER);
       },
       0},
  };
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  for (const Case &c : cases) {
    shim_.quirks(kShimNeedsInitArgs | c.quirk);
    EXPECT_EQ(c.step(), c.status) << c.what;
  }
  // The private file is the user's: seen with the login.
  ASSERT_EQ(Login(), 0);
  EXPECT_EQ(Objects(CKO_DATA, FileLabel(6)).size(), 1u);
}

// What a process learned of the module (slot, objects, keys) spares calls:
// each is a round trip over a remote client.
TEST_F(P11FaultTest, ASignatureAfterTheFirstTakesAtMostFiveCalls) {
  XcHandle container = SignedOnceWith("COUNT_SIG");
  EXPECT_LE(CallsOfASignature(), 5u);
  EXPECT_EQ(shim_.calls("C_Sign"), 1u);
  // A key replaced since is found again, not used stale.
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(SignOnce(), 0);
}

// A container with one pair: a search for the other on every signature
// would cost the module a read of every object. What a read learned stands
// a second: another program's change shows after that.
TEST_F(P11FaultTest, AnAbsentPairIsNotSearchedForOnEverySignature) {
  XcHandle one = NewContainer("ONE_SIG");
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(GenRSAKey(one, XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(SignOnce(), 0);
  EXPECT_LE(CallsOfASignature(), 5u) << "the signature pair alone";

  // Another program gives the container its other pair and names a
  // container in the other slot; nothing of ours changed.
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(FindDeviceSlot(raw_.functions, kDevice, &slot), 0);
  Cryptoki writer = raw_;
  ASSERT_EQ(raw_.functions->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                          nullptr, &writer.session),
            CKR_OK);
  std::vector<CK_OBJECT_HANDLE> signature_half = Objects(CKO_PUBLIC_KEY, "ONE_SIG/signature");
  std::vector<CK_OBJECT_HANDLE> directory = Objects(CKO_DATA, kContainersLabel);
  ASSERT_EQ(signature_half.size(), 1u);
  ASSERT_EQ(directory.size(), 1u);
  std::string label = KeyLabel("ONE_SIG", XC_KEY_EXCHANGE);
  CK_ATTRIBUTE relabel{CKA_LABEL, label.data(), label.size()};
  CK_OBJECT_HANDLE copy = CK_INVALID_HANDLE;
  EXPECT_EQ(
      raw_.functions->C_CopyObject(writer.session, signature_half.front(), &relabel, 1, &copy),
      CKR_OK);
  Bytes names;
  ASSERT_EQ(ReadAttribute(writer, directory.front(), CKA_VALUE, &names), 0);
  ASSERT_EQ(names.size() % kContainerSlots, 0u);
  std::memcpy(names.data() + XC_SLOT_EXCHANGE * (names.size() / kContainerSlots), "TWO_EXC", 7);
  EXPECT_EQ(CreatePublicDataObject(writer, kContainersLabel, names.data(), names.size()), CKR_OK);
  EXPECT_EQ(raw_.functions->C_DestroyObject(writer.session, directory.front()), CKR_OK);
  raw_.functions->C_CloseSession(writer.session);
  // A step that may change the token reads afresh what it builds on.
  XcHandle opener = 0, opened = 0;
  ASSERT_EQ(ConnectEkey(kDevice, &opener), 0);
  EXPECT_EQ(CreateContainer(opener, "TWO_EXC", &opened, XC_CONTAINER_OPEN), 0);
  DisconnectEkey(opener);

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  uint32_t flags = 0, len = sizeof(flags);
  ASSERT_EQ(GetContainerParam(one, XC_CONTAINER_PARAM_FLAGS, reinterpret_cast<uint8_t *>(&flags),
                              &len, 0),
            0);
  EXPECT_EQ(flags, uint32_t{XC_FLAG_EXCHANGE_PAIR | XC_FLAG_SIGNATURE_PAIR});
  XcHandle other = 0, exchange = 0;
  ASSERT_EQ(ConnectEkey(kDevice, &other), 0);
  EXPECT_EQ(SetCurContainer(other, XC_SLOT_EXCHANGE, &exchange), 0);
  DisconnectEkey(other);
}

// A kept key handle that the module gave to another key (tpm2-pkcs11 reuses
// the handles of destroyed objects) is looked up again: the signature is
// the container's key's, checked with its public half, never the other's.
TEST_F(P11FaultTest, AKeptHandleThatNamesAnotherKeyIsNotSignedWith) {
  XcHandle container = SignedOnceWith("REUSED_SIG");
  std::vector<CK_OBJECT_HANDLE> other = Objects(CKO_PRIVATE_KEY, "REUSED_SIG/exchange");
  ASSERT_EQ(other.size(), 1u);
  shim_.sign_with(1, other.front());
  const uint8_t digest[20] = {9, 8, 7};
  uint8_t signature[XC_RSA_BLOCK], back[XC_RSA_BLOCK];
  uint32_t len = sizeof(signature), back_len = sizeof(back);
  ASSERT_EQ(RSASign(container, digest, sizeof(digest), signature, &len, XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(
      RSAEncrypt(container, signature, len, back, &back_len, XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG),
      0);
  EXPECT_EQ(Bytes(back, back + back_len), Bytes(digest, digest + sizeof(digest)));
}

// The shim reads the label as p11-kit's remote client does, as a C string
// of 32 characters; an initialised token keeps its label.
TEST_F(P11FaultTest, FormattingKeepsTheTokensLabelAndTerminatesIt) {
  ASSERT_EQ(DisconnectEkey(session_), 0);
  session_ = 0;
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(FindDeviceSlot(raw_.functions, kDevice, &slot), 0);
  CK_TOKEN_INFO before{}, after{};
  ASSERT_EQ(raw_.functions->C_GetTokenInfo(slot, &before), CKR_OK);
  ASSERT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, "x", kDevice), 0);
  ASSERT_EQ(FindDeviceSlot(raw_.functions, kDevice, &slot), 0);
  ASSERT_EQ(raw_.functions->C_GetTokenInfo(slot, &after), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(after.label), 32),
            std::string(reinterpret_cast<char *>(before.label), 32));
  raw_.session = CK_INVALID_HANDLE;  // formatting closed it
}

// A module that initialises a token once only, or answers C_InitToken with
// CKR_OK and does nothing, is formatted by erasing obkey's objects and
// resetting the user PIN.
TEST_F(P11FaultTest, ATokenTheModuleWillNotInitialiseAgainIsErased) {
  for (unsigned quirk : {kShimNoReinit, kShimInitTokenIgnored}) {
    SCOPED_TRACE(quirk);
    shim_.quirks(kShimNeedsInitArgs);
    XcHandle container = NewContainer("ERASE_SIG"), file = 0;
    ASSERT_EQ(CreateUserFile(session_, 2, 4, XC_USER_FILE_CREATE, &file), 0);
    ASSERT_EQ(Login(), 0);
    ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
    const uint8_t *new_pin = reinterpret_cast<const uint8_t *>("changed-pin");
    ASSERT_EQ(ChangePin(session_, reinterpret_cast<const uint8_t *>(kUserPin), 8, new_pin, 11, 2),
              0);
    ASSERT_EQ(DisconnectEkey(session_), 0);
    session_ = 0;
    shim_.quirks(kShimNeedsInitArgs | quirk);
    EXPECT_EQ(FormatToken("WRONG.1974", "x", kDevice), P11ST_ADMIN_PIN_INCORRECT);
    ASSERT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, "x", kDevice), 0);
    ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
    ASSERT_EQ(Login(), 0);
    EXPECT_EQ(SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), P11ST_CONTAINER_NOT_FOUND);
    EXPECT_EQ(CreateUserFile(session_, 2, 0, XC_USER_FILE_OPEN, &file), P11ST_FILE_NOT_FOUND);
    // Formatting ends every session, the test's own too.
    raw_.session = CK_INVALID_HANDLE;
    Cryptoki c;
    ASSERT_EQ(SessionOf(session_, &c), 0);
    std::vector<CK_OBJECT_HANDLE> keys;
    ASSERT_EQ(FindLabelled(c, CKO_PRIVATE_KEY, KeyLabel("ERASE_SIG", XC_KEY_SIGNATURE), &keys), 0);
    EXPECT_TRUE(keys.empty());
  }
}

// A module that initialises no token, or not with obkey's fixed admin PIN,
// says so rather than leaving a token that is "not there yet".
TEST_F(P11FaultTest, AModuleThatWillNotInitialiseATokenSaysWhy) {
  const int32_t free_slot = kTokenCount;
  struct Case {
    const char *what;
    unsigned quirk;
    int32_t device, status;
  } cases[] = {
      {"C_InitToken answers CKR_OK and does nothing", kShimInitTokenIgnored, free_slot,
       P11ST_INIT_IGNORED},
      {"C_InitToken is not supported", kShimNoInitToken, free_slot,
       static_cast<int32_t>(P11ST_CKR_BASE | CKR_FUNCTION_NOT_SUPPORTED)},
      {"SO PINs of 4 to 8 characters, a new token", kShimShortPins, free_slot, P11ST_PIN_LENGTH},
      {"SO PINs of 4 to 8 characters, a token", kShimShortPins, kDevice, P11ST_ADMIN_PIN_INCORRECT},
  };
  for (const Case &c : cases) {
    shim_.quirks(kShimNeedsInitArgs | c.quirk);
    EXPECT_EQ(FormatToken(obkey_test::kSoftHsmSoPin, "x", c.device), c.status) << c.what;
  }
  raw_.session = CK_INVALID_HANDLE;  // formatting closed it
}

// obkey opens what it could not create and passes the open's answer on: a
// module's refusal to create reaches obkey through that open, once.
TEST_F(P11FaultTest, AnOpenAfterARefusedCreateAnswersWithTheRefusal) {
  XcHandle handle = 0;
  auto container = [&](bool create) {
    return CreateContainer(session_, "REFUSED_SIG", &handle,
                           create ? XC_CONTAINER_CREATE : XC_CONTAINER_OPEN);
  };
  auto file = [&](bool create) {
    return CreateUserFile(session_, 9, 4, create ? XC_USER_FILE_CREATE : XC_USER_FILE_OPEN,
                          &handle);
  };
  struct Case {
    const char *what;
    unsigned quirk;
    bool logged_in;
    std::function<int32_t(bool create)> call;
    int32_t refusal, later;
  } cases[] = {
      {"a container, no data objects", kShimNoDataObjects, true, container,
       Refusal(CKR_ATTRIBUTE_VALUE_INVALID), P11ST_CONTAINER_NOT_FOUND},
      {"a user file, no data objects", kShimNoDataObjects, true, file,
       Refusal(CKR_ATTRIBUTE_VALUE_INVALID), P11ST_FILE_NOT_FOUND},
      {"a container before the login", kShimObjectsNeedLogin, false, container,
       Refusal(CKR_SESSION_READ_ONLY), P11ST_CONTAINER_NOT_FOUND},
      {"a user file before the login", kShimObjectsNeedLogin, false, file,
       Refusal(CKR_SESSION_READ_ONLY), P11ST_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    shim_.quirks(kShimNeedsInitArgs | c.quirk);
    if (c.logged_in) {
      ASSERT_EQ(Login(), 0);
    } else {
      raw_.functions->C_Logout(raw_.session);
    }
    EXPECT_EQ(c.call(true), c.refusal) << c.what;
    EXPECT_EQ(c.call(false), c.refusal) << c.what;
    EXPECT_EQ(c.call(false), c.later) << c.what;
  }
}

// A mechanism the token does not list is named before the call that
// would need it.
TEST_F(P11FaultTest, AMissingMechanismIsNamedBeforeTheCall) {
  XcHandle container = NewContainer("MECH_SIG");
  ASSERT_EQ(Login(), 0);
  shim_.quirks(kShimNeedsInitArgs | kShimNoRsaKeyGen);
  EXPECT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE),
            static_cast<int32_t>(P11ST_NO_MECHANISM_BASE | CKM_RSA_PKCS_KEY_PAIR_GEN));
  EXPECT_EQ(shim_.calls("C_GenerateKeyPair"), 0u);
}

}  // namespace
}  // namespace obkey::p11token::testing

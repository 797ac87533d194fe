// Private keys encrypted at rest: what the store file gives away without the
// PIN, what a tampered seal gets, and old stores sealed at their first login.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "pin.h"
#include "rsa_test_keys.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

class EncryptionTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    key_ = NewRsaKey(1024);
    ASSERT_NE(key_, nullptr);
  }

  // ImportKey writes the test key as the signature pair of container "SIG".
  void ImportKey() {
    XcHandle session = LoggedInSession();
    XcHandle container = Container(session, "SIG");
    const std::vector<uint8_t> loose = LooseRsaDer(key_.get(), 1);
    ASSERT_EQ(WriteRSAKey(container, 0, 0, loose.data(), static_cast<uint32_t>(loose.size()),
                          XC_KEY_SIGNATURE),
              0);
    Disconnect(session);
  }

  // The secret parts of the key, without leading zero bytes.
  std::vector<std::pair<const char *, std::vector<uint8_t>>> SecretParts() const {
    const std::pair<const char *, size_t> parts[] = {
        {OSSL_PKEY_PARAM_RSA_D, 128},        {OSSL_PKEY_PARAM_RSA_FACTOR1, 64},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, 64},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, 64},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, 64}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 64},
    };
    std::vector<std::pair<const char *, std::vector<uint8_t>>> out;
    for (const auto &[name, width] : parts) {
      std::vector<uint8_t> value = Part(key_.get(), name, width);
      value.erase(value.begin(),
                  std::find_if(value.begin(), value.end(), [](uint8_t b) { return b != 0; }));
      out.emplace_back(name, value);
    }
    return out;
  }

  static bool Holds(const std::vector<uint8_t> &haystack, const std::vector<uint8_t> &needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
  }

  // Sign signs a short block with the signature key of "SIG".
  static int32_t Sign(XcHandle session, std::vector<uint8_t> *out_signature = nullptr) {
    XcHandle container = 0;
    if (int32_t status = SetCurContainer(session, XC_SLOT_SIGNATURE, &container)) return status;
    uint8_t block[20] = {7, 7, 7};
    std::vector<uint8_t> signature(128);
    uint32_t len = 128;
    int32_t status =
        RSASign(container, block, sizeof(block), signature.data(), &len, XC_KEY_SIGNATURE);
    if (out_signature != nullptr) *out_signature = signature;
    return status;
  }

  TokenState Stored() {
    TokenState state;
    StoreStamp stamp;
    EXPECT_EQ(ParseStore(ReadFileBytes(StorePath()), &state, &stamp), 0);
    generation_ = stamp.generation;
    return state;
  }

  void Store(const TokenState &state) {
    WriteFileBytes(StorePath(), Plain(SerializeStore(state, ++generation_)));
  }

  Pkey key_;
  uint64_t generation_ = 0;
};

TEST_F(EncryptionTest, StoreHoldsNoSecretPartOfAnImportedKey) {
  ImportKey();
  const std::vector<uint8_t> file = ReadFileBytes(StorePath());
  for (const auto &[name, value] : SecretParts()) {
    EXPECT_FALSE(Holds(file, value)) << name << " is in the store file";
  }
  // The public part is there, for the calls that need no PIN.
  EXPECT_TRUE(Holds(file, Part(key_.get(), OSSL_PKEY_PARAM_RSA_N, 128)));
}

TEST_F(EncryptionTest, PublicPartServesWithoutThePinAndTheKeyOnlyWithIt) {
  ImportKey();
  XcHandle session = Connect();
  // A wrong PIN ends this process's login.
  ASSERT_EQ(Login(session, "00000000"), XCST_PIN_INCORRECT);
  XcHandle container = 0;
  ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0);
  uint8_t public_key[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(public_key);
  ASSERT_EQ(ReadRSAPubKey(container, public_key, &len, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(std::vector<uint8_t>(public_key + XC_PUBKEY_MODULUS_OFFSET, public_key + len),
            Part(key_.get(), OSSL_PKEY_PARAM_RSA_N, 128));
  uint8_t block[10] = {1};
  uint8_t out[128];
  len = sizeof(out);
  EXPECT_EQ(RSAEncrypt(container, block, sizeof(block), out, &len, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(Sign(session), XCST_NOT_LOGGED_IN);
  ASSERT_EQ(Login(session), 0);
  std::vector<uint8_t> signature;
  ASSERT_EQ(Sign(session, &signature), 0);
  // The signature checks out with the public part: the sealed key is the
  // one imported.
  uint8_t payload[128];
  len = sizeof(payload);
  ASSERT_EQ(RSAEncrypt(container, signature.data(), 128, payload, &len,
                       XC_KEY_SIGNATURE | XC_KEY_SIGN_FLAG),
            0);
  EXPECT_EQ(std::vector<uint8_t>(payload, payload + len),
            std::vector<uint8_t>({7, 7, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(EncryptionTest, CopyOfTheStoreSignsNothingWithAWrongPin) {
  ImportKey();
  const std::string other = dir_ + "/other";
  ASSERT_TRUE(std::filesystem::create_directory(other));
  std::filesystem::permissions(other, std::filesystem::perms::owner_all);
  std::filesystem::copy_file(StorePath(), other + "/token-0.db");
  setenv(kTokenDirVariable, other.c_str(), 1);
  XcHandle session = Connect();
  for (const char *pin : {"00000000", "12345679", "1234567"}) {
    EXPECT_EQ(Login(session, pin), XCST_PIN_INCORRECT) << pin;
    EXPECT_EQ(Sign(session), XCST_NOT_LOGGED_IN) << pin;
  }
  ASSERT_EQ(Login(session), 0);
  EXPECT_EQ(Sign(session), 0);
  Disconnect(session);
  setenv(kTokenDirVariable, dir_.c_str(), 1);
}

// A store changed where the keys are sealed, with its checksum made right
// again, is refused where the change is found: by the tag of the seal.
TEST_F(EncryptionTest, TamperedSealIsRefusedByItsTag) {
  ImportKey();
  const TokenState good = Stored();
  const KeySlot &keys = good.containers[XC_SLOT_SIGNATURE].keys[1];
  ASSERT_FALSE(keys.sealed_key.empty());
  enum class Where { kSealedKey, kPublicPart, kWrap };
  struct Case {
    const char *what;
    Where where;
    size_t offset;
  };
  const Case cases[] = {
      {"nonce", Where::kSealedKey, 0},
      {"first ciphertext byte", Where::kSealedKey, kSealNonceSize},
      {"middle ciphertext byte", Where::kSealedKey, keys.sealed_key.size() / 2},
      {"tag", Where::kSealedKey, keys.sealed_key.size() - 1},
      {"modulus in the public part", Where::kPublicPart, 40},
      {"sealed token key", Where::kWrap, kSealNonceSize + 3},
  };
  for (const Case &c : cases) {
    TokenState state = good;
    KeySlot &target = state.containers[XC_SLOT_SIGNATURE].keys[1];
    switch (c.where) {
      case Where::kSealedKey:
        target.sealed_key[c.offset] ^= 0x01;
        break;
      case Where::kPublicPart:
        target.public_key_der[c.offset] ^= 0x01;
        break;
      case Where::kWrap:
        state.token_key_wrap.sealed[c.offset] ^= 0x01;
        break;
    }
    Store(state);
    XcHandle session = Connect();
    int32_t login = Login(session);
    int32_t sign = login == 0 ? Sign(session) : login;
    EXPECT_EQ(sign, XCST_STORE_BAD_KEY) << c.what;
    Disconnect(session);
  }
  Store(good);
  XcHandle session = LoggedInSession();
  EXPECT_EQ(Sign(session), 0);
}

// Stores written once by someone without the PIN (a sync folder, a restored
// backup), their checksum made right: what a connect, the public part and a
// signature with the user's own PIN then give.
TEST_F(EncryptionTest, StoresWrittenWithoutThePin) {
  ImportKey();
  const TokenState good = Stored();
  Pkey planted = NewRsaKey(1024);
  const SecretBytes planted_der = Secret(StrictDer(planted.get()));
  std::vector<uint8_t> planted_public(static_cast<size_t>(i2d_PublicKey(planted.get(), nullptr)));
  unsigned char *cursor = planted_public.data();
  i2d_PublicKey(planted.get(), &cursor);
  const auto clear_key = [&](TokenState &s) {
    KeySlot &keys = s.containers[XC_SLOT_SIGNATURE].keys[XC_KEY_SIGNATURE - 1];
    keys = KeySlot{{}, {}, {}, keys.certificate};
    keys.private_key_der = planted_der;
  };
  struct Case {
    const char *what;
    std::function<void(TokenState &)> edit;
    int32_t connect;
    bool planted_modulus;  // what the public part then says
    int32_t sign;
  };
  const Case cases[] = {
      {"token key marked absent, a clear key planted",
       [&](TokenState &s) { s.token_key_wrap = TokenKeyWrap{}, clear_key(s); }, XCST_STORE_BAD_KEY,
       false, 0},
      {"token key marked absent", [](TokenState &s) { s.token_key_wrap = TokenKeyWrap{}; },
       XCST_STORE_BAD_KEY, false, 0},
      {"token key under a salt of its own beside a scrypt PIN",
       [](TokenState &s) {
         s.token_key_wrap.form = WrapForm::kOwnSalt;
         s.token_key_wrap.iterations = 1;
       },
       XCST_STORE_BAD_KEY, false, 0},
      {"a clear key planted beside the token key", clear_key, XCST_STORE_BAD_KEY, false, 0},
      // Public operations need no PIN, so nothing binds the public part
      // until the sealed key is opened with it.
      {"public part replaced",
       [&](TokenState &s) {
         s.containers[XC_SLOT_SIGNATURE].keys[XC_KEY_SIGNATURE - 1].public_key_der = planted_public;
       },
       0, true, XCST_STORE_BAD_KEY},
      // What a version 2 store becomes when changed before its first login:
      // it still opens, with the PIN its derivation holds.
      {"a PBKDF2 PIN, no token key, a clear key",
       [&](TokenState &s) {
         s.user_pin.hash = HashPinPbkdf2(Bytes(kInitialUserPin), Len(kInitialUserPin));
         s.token_key_wrap = TokenKeyWrap{};
         clear_key(s);
       },
       0, true, 0},
  };
  const std::vector<uint8_t> planted_modulus = Part(planted.get(), OSSL_PKEY_PARAM_RSA_N, 128);
  for (const Case &c : cases) {
    TokenState state = good;
    c.edit(state);
    Store(state);
    XcHandle session = 0;
    ASSERT_EQ(ConnectEkey(0, &session), c.connect) << c.what;
    if (c.connect != 0) continue;
    open_sessions_.push_back(session);
    XcHandle container = 0;
    uint8_t public_key[XC_PUBKEY_SIZE];
    uint32_t len = sizeof(public_key);
    ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0) << c.what;
    ASSERT_EQ(ReadRSAPubKey(container, public_key, &len, XC_KEY_SIGNATURE), 0) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(public_key + XC_PUBKEY_MODULUS_OFFSET, public_key + len) ==
                  planted_modulus,
              c.planted_modulus)
        << c.what;
    ASSERT_EQ(Login(session), 0) << c.what;
    EXPECT_EQ(Sign(session), c.sign) << c.what;
    Disconnect(session);
  }
}

TEST_F(EncryptionTest, OldStoreKeysAreSealedAtTheFirstCommitAfterALogin) {
  TokenState legacy = Stored();
  legacy.token_key_wrap = TokenKeyWrap{};
  legacy.user_pin.hash = HashPinPbkdf2(Bytes(kInitialUserPin), Len(kInitialUserPin));
  legacy.containers[XC_SLOT_SIGNATURE].present = true;
  legacy.containers[XC_SLOT_SIGNATURE].name = "SIG";
  legacy.containers[XC_SLOT_SIGNATURE].keys[1].private_key_der = Secret(StrictDer(key_.get()));
  WriteFileBytes(StorePath(), Plain(SerializeStore(legacy, 5, kStoreFormatVersion2)));
  const std::vector<uint8_t> p = SecretParts()[1].second;
  ASSERT_TRUE(Holds(ReadFileBytes(StorePath()), p));

  // Without the PIN nothing changes, and the public part is served.
  XcHandle session = Connect();
  XcHandle container = 0;
  ASSERT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0);
  uint8_t public_key[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(public_key);
  ASSERT_EQ(ReadRSAPubKey(container, public_key, &len, XC_KEY_SIGNATURE), 0);
  Disconnect(session);
  EXPECT_TRUE(Holds(ReadFileBytes(StorePath()), p));

  session = LoggedInSession();
  EXPECT_EQ(Sign(session), 0) << "the clear key signs in the session that seals it";
  Disconnect(session);
  const std::vector<uint8_t> file = ReadFileBytes(StorePath());
  EXPECT_EQ(file[8], kStoreFormatVersion);
  for (const auto &[name, value] : SecretParts()) {
    EXPECT_FALSE(Holds(file, value)) << name << " is still in the store file";
  }
  session = LoggedInSession();
  EXPECT_EQ(Sign(session), 0);
}

TEST_F(EncryptionTest, PinChangeTurnsTheTokenKeyAndFormatMakesANewOne) {
  ImportKey();
  const TokenState before = Stored();
  XcHandle session = Connect();
  ASSERT_EQ(ChangePin(session, Bytes(kInitialUserPin), Len(kInitialUserPin), Bytes("new pin!"), 8,
                      XC_PIN_USER),
            0);
  Disconnect(session);
  const TokenState changed = Stored();
  EXPECT_NE(changed.containers[XC_SLOT_SIGNATURE].keys[1].sealed_key,
            before.containers[XC_SLOT_SIGNATURE].keys[1].sealed_key)
      << "a PIN change re-seals every key under a new token key";
  EXPECT_NE(changed.token_key_wrap.sealed, before.token_key_wrap.sealed);
  session = Connect();
  EXPECT_EQ(Login(session), XCST_PIN_INCORRECT);
  ASSERT_EQ(Login(session, "new pin!"), 0);
  EXPECT_EQ(Sign(session), 0);
  Disconnect(session);

  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  const TokenState formatted = Stored();
  EXPECT_EQ(formatted.token_key_wrap.form, WrapForm::kUserPin);
  EXPECT_NE(formatted.user_pin.hash.salt, changed.user_pin.hash.salt);
  session = Connect();
  EXPECT_EQ(Login(session), 0) << "the default PIN opens the new token key";
}

// The kilobytes of memory this process keeps out of swap; -1 where the
// system does not say.
long LockedKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmLck:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The number of this process's mappings marked to stay out of core dumps.
long DontDumpMappings() {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  long count = 0;
  while (std::getline(smaps, line)) {
    if (line.rfind("VmFlags:", 0) == 0 && line.find(" dd") != std::string::npos) ++count;
  }
  return count;
}

// A login's token key is kept out of swap and core dumps while the login
// lasts, and let go when a format forgets the login. Run in a child: memory
// locks are not inherited, so the child starts with none.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OBKEY_TEST_MLOCK_INTERCEPTED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define OBKEY_TEST_MLOCK_INTERCEPTED 1
#endif

TEST_F(TokenTest, TheLoginsTokenKeyIsLockedInMemoryWhileItLasts) {
#if defined(OBKEY_TEST_MLOCK_INTERCEPTED)
  GTEST_SKIP() << "the sanitizer runtime makes mlock do nothing";
#endif
  rlimit limit{};
  if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur < 64 * 1024 ||
      LockedKilobytes() < 0) {
    GTEST_SKIP() << "this system lets the test lock no memory";
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    XcHandle session = 0;
    if (ConnectEkey(0, &session) != 0) _exit(10);
    const long before = LockedKilobytes();
    const long dont_dump_before = DontDumpMappings();
    if (Login(session) != 0) _exit(11);
    const long during = LockedKilobytes();
    const long dont_dump_during = DontDumpMappings();
    if (DisconnectEkey(session) != 0) _exit(12);
    if (FormatToken(kInitialAdminPin, kInitialAdminPin, 0) != 0) _exit(13);
    const long after = LockedKilobytes();
    if (during <= before) _exit(20);
    if (after != before) _exit(21);
    if (dont_dump_during <= dont_dump_before) _exit(22);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "20: nothing locked during the login, 21: still locked after "
         "the format, 22: the token key would be in a core dump, 1x: a token call failed";
}

}  // namespace
}  // namespace obkey::softtoken::testing

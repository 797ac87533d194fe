// The user PIN's scrypt derivation as a thief with a copy of the store
// meets it: its stored cost, a derivation done apart from the library that
// opens the token key, older stores moved over at their login, and a copy
// taken before a PIN change that opens no key made after it.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <filesystem>
#include <string>
#include <vector>

#include "key_seal.h"
#include "pin.h"
#include "rsa_test_keys.h"
#include "softtoken_status.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using Blob = std::vector<uint8_t>;

// Kdf runs one of OpenSSL's KDFs by name (another interface than the
// library's), for the test's own reading of a store.
Blob Kdf(const char *name, std::vector<OSSL_PARAM> params, size_t out_len) {
  params.push_back(OSSL_PARAM_construct_end());
  EVP_KDF *kdf = EVP_KDF_fetch(nullptr, name, nullptr);
  EVP_KDF_CTX *ctx = EVP_KDF_CTX_new(kdf);
  Blob out(out_len);
  EXPECT_EQ(EVP_KDF_derive(ctx, out.data(), out.size(), params.data()), 1) << name;
  EVP_KDF_CTX_free(ctx);
  EVP_KDF_free(kdf);
  return out;
}

Blob Hkdf(Blob key, const char *info) {
  return Kdf(
      "HKDF",
      {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
       OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key.data(), key.size()),
       OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char *>(info),
                                         std::strlen(info))},
      32);
}

// Derived is what one scrypt run of a PIN gives: the check value and the
// key that wraps the token key.
struct Derived {
  Blob check;
  Blob wrapping_key;
};

Derived DeriveApart(const PinHash &stored, const std::string &pin) {
  Blob password = {static_cast<uint8_t>(pin.size())};
  password.insert(password.end(), pin.begin(), pin.end());
  uint64_t n = uint64_t{1} << stored.scrypt.log2_n;
  uint32_t r = stored.scrypt.r, p = stored.scrypt.p;
  Blob salt(stored.salt.begin(), stored.salt.end());
  Blob master = Kdf(
      "SCRYPT",
      {OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, password.data(), password.size()),
       OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, salt.data(), salt.size()),
       OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
       OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
       OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p)},
      32);
  return {Hkdf(master, "obkey user PIN check"), Hkdf(master, "obkey token key wrap")};
}

// OpenApart opens an AES-256-GCM seal (nonce, ciphertext, tag) under `aad`;
// false when the tag does not match.
bool OpenApart(const Blob &key, const Blob &aad, const Blob &sealed, Blob *out) {
  const size_t plain_len = sealed.size() - kSealOverhead;
  out->assign(plain_len, 0);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  Blob tag(sealed.end() - kSealTagSize, sealed.end());
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) == 1 &&
            EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
            EVP_DecryptUpdate(ctx, out->data(), &len, sealed.data() + kSealNonceSize,
                              static_cast<int>(plain_len)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kSealTagSize, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx, out->data() + len, &len) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

Blob Label(const char *text) {
  return Blob(text, text + std::strlen(text) + 1);
}

// TokenKeyApart reads the token key out of a store file with a PIN, the
// way anyone holding a copy and the PIN could; empty when it does not open.
Blob TokenKeyApart(const Blob &file, const std::string &pin) {
  TokenState state;
  EXPECT_EQ(ParseStore(file, &state), 0);
  const Derived derived = DeriveApart(state.user_pin.hash, pin);
  Blob sealed(state.token_key_wrap.sealed.begin(), state.token_key_wrap.sealed.end());
  Blob token_key;
  if (!OpenApart(derived.wrapping_key, Label("obkey token key"), sealed, &token_key)) return {};
  return token_key;
}

// KeyOpensApart says whether the sealed key pair of `slot`, `key_index` in
// `file` opens with `token_key`.
bool KeyOpensApart(const Blob &file, size_t slot, size_t key_index, const Blob &token_key) {
  TokenState state;
  EXPECT_EQ(ParseStore(file, &state), 0);
  const KeySlot &keys = state.containers[slot].keys[key_index];
  EXPECT_FALSE(keys.sealed_key.empty());
  Blob aad = Label("obkey private key");
  aad.push_back(static_cast<uint8_t>(slot));
  aad.push_back(static_cast<uint8_t>(key_index));
  aad.insert(aad.end(), keys.public_key_der.begin(), keys.public_key_der.end());
  Blob der;
  return token_key.size() == kTokenKeySize && OpenApart(token_key, aad, keys.sealed_key, &der);
}

class PinDerivationTest : public TokenTest {
 protected:
  TokenState Stored() {
    TokenState state;
    EXPECT_EQ(ParseStore(ReadFileBytes(StorePath()), &state), 0);
    return state;
  }

  // GenerateKey makes a key pair of `key_type` in a new container `name`
  // with `pin`.
  void GenerateKey(const char *name, uint32_t key_type, const char *pin) {
    XcHandle session = Connect();
    ASSERT_EQ(Login(session, pin), 0);
    XcHandle container = 0;
    ASSERT_EQ(CreateContainer(session, name, &container, XC_CONTAINER_CREATE), 0);
    ASSERT_EQ(GenRSAKey(container, key_type), 0);
    Disconnect(session);
  }

  static int32_t SignWith(XcHandle session, uint32_t slot, uint32_t key_type) {
    XcHandle container = 0;
    if (int32_t status = SetCurContainer(session, slot, &container)) return status;
    uint8_t block[20] = {5};
    uint8_t signature[128];
    uint32_t len = sizeof(signature);
    return RSASign(container, block, sizeof(block), signature, &len, key_type);
  }
};

// A format stores the cost in force; a cost the store's reader refuses (its
// memory bound stops N at 2^17) is refused before anything is written, by a
// format and by a PIN change, which then costs no try.
TEST_F(PinDerivationTest, FormatStoresTheCurrentCostAndRefusesOneNoStoreMayCarry) {
  struct Case {
    const char *log2_n;  // null: the variable unset
    int32_t status;
    uint8_t stored_log2_n;
  };
  const Case cases[] = {
      {nullptr, 0, kDefaultScryptCost.log2_n},
      {"10", 0, 10},
      {"17", 0, 17},
      {"18", XCST_BAD_SETTING, 0},
      {"20", XCST_BAD_SETTING, 0},
      {"9", XCST_BAD_SETTING, 0},
  };
  const char *saved = std::getenv(kScryptLog2NVariable);
  const std::string saved_value = saved != nullptr ? saved : "";
  for (const Case &c : cases) {
    const char *what = c.log2_n != nullptr ? c.log2_n : "unset";
    if (c.log2_n == nullptr) {
      unsetenv(kScryptLog2NVariable);
    } else {
      setenv(kScryptLog2NVariable, c.log2_n, 1);
    }
    const Blob before = ReadFileBytes(StorePath());
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), c.status) << what;
    if (c.status != 0) {
      EXPECT_EQ(ReadFileBytes(StorePath()), before) << what << ": the store was written";
      XcHandle session = Connect();
      EXPECT_EQ(ChangePin(session, Bytes(kInitialUserPin), Len(kInitialUserPin), Bytes("new pin!"),
                          8, XC_PIN_USER),
                c.status)
          << what;
      Disconnect(session);
      EXPECT_EQ(ReadFileBytes(StorePath()), before) << what << ": the PIN change wrote";
      continue;
    }
    const TokenState state = Stored();
    EXPECT_EQ(state.user_pin.hash.kdf, PinKdf::kScrypt);
    EXPECT_EQ(state.user_pin.hash.scrypt.log2_n, c.stored_log2_n) << what;
    EXPECT_EQ(state.token_key_wrap.form, WrapForm::kUserPin);
    Disconnect(Connect());  // the store opens
  }
  if (saved != nullptr) setenv(kScryptLog2NVariable, saved_value.c_str(), 1);
  // The default costs at least 32 MiB per guess.
  EXPECT_GE((uint64_t{128} * kDefaultScryptCost.r) << kDefaultScryptCost.log2_n, 32u << 20);
}

// A login raises a stored cost below the one in force, and never lowers one
// above it.
TEST_F(PinDerivationTest, ALoginRaisesALowerStoredCost) {
  const char *saved = std::getenv(kScryptLog2NVariable);
  const std::string saved_value = saved != nullptr ? saved : "";
  setenv(kScryptLog2NVariable, "10", 1);
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  for (const char *log2_n : {"11", "10"}) {
    setenv(kScryptLog2NVariable, log2_n, 1);
    Disconnect(LoggedInSession());
    EXPECT_EQ(Stored().user_pin.hash.scrypt.log2_n, 11) << "logged in at " << log2_n;
  }
  if (saved != nullptr) setenv(kScryptLog2NVariable, saved_value.c_str(), 1);
}

// One scrypt run, done here with another OpenSSL interface, gives the
// stored check value and opens the token key: the layout is what the
// README says, and nothing but the PIN is needed to guess with.
TEST_F(PinDerivationTest, OneDerivationGivesTheCheckValueAndTheWrappingKey) {
  const TokenState state = Stored();
  const Derived derived = DeriveApart(state.user_pin.hash, kInitialUserPin);
  EXPECT_EQ(derived.check, Blob(state.user_pin.hash.hash.begin(), state.user_pin.hash.hash.end()));
  EXPECT_EQ(TokenKeyApart(ReadFileBytes(StorePath()), kInitialUserPin).size(), kTokenKeySize);
  EXPECT_TRUE(TokenKeyApart(ReadFileBytes(StorePath()), "12345679").empty());
}

// The whole check value counts, not a prefix of it.
TEST_F(PinDerivationTest, AnyByteOfTheCheckValueRefusesTheRightPin) {
  const TokenState good = Stored();
  for (size_t offset : {size_t{0}, kPinHashSize / 2, kPinHashSize - 1}) {
    TokenState state = good;
    state.user_pin.hash.hash[offset] ^= 0x01;
    WriteFileBytes(StorePath(), Plain(SerializeStore(state, 50 + offset)));
    XcHandle session = Connect();
    EXPECT_EQ(Login(session), XCST_PIN_INCORRECT) << "byte " << offset;
    Disconnect(session);
  }
}

// A store of version 3 (PBKDF2, the token key under a salt of its own)
// opens with its PIN, and that login moves it to scrypt with the same
// token key; a wrong PIN still costs its try.
TEST_F(PinDerivationTest, AnOlderStoreMovesToScryptAtItsLogin) {
  Pkey key = NewRsaKey(1024);
  TokenState old = Stored();
  const SecretBytes token_key = NewTokenKey();
  old.user_pin.hash = HashPinPbkdf2(Bytes(kInitialUserPin), Len(kInitialUserPin));
  old.token_key_wrap =
      WrapTokenKeyWithOwnSalt(Bytes(kInitialUserPin), Len(kInitialUserPin), token_key);
  old.containers[XC_SLOT_SIGNATURE].present = true;
  old.containers[XC_SLOT_SIGNATURE].name = "SIG";
  ASSERT_EQ(SealKeyPair(token_key, XC_SLOT_SIGNATURE, 1, Secret(StrictDer(key.get())),
                        &old.containers[XC_SLOT_SIGNATURE].keys[1]),
            0);
  WriteFileBytes(StorePath(), Plain(SerializeStore(old, 7, kStoreFormatVersion3)));

  XcHandle session = Connect();
  EXPECT_EQ(Login(session, "00000000"), XCST_PIN_INCORRECT);
  EXPECT_EQ(Stored().user_pin.tries_left, kUserPinTries - 1);
  ASSERT_EQ(Login(session), 0);
  EXPECT_EQ(SignWith(session, XC_SLOT_SIGNATURE, XC_KEY_SIGNATURE), 0);
  Disconnect(session);

  const Blob file = ReadFileBytes(StorePath());
  EXPECT_EQ(file[8], kStoreFormatVersion);
  const TokenState moved = Stored();
  EXPECT_EQ(moved.user_pin.hash.kdf, PinKdf::kScrypt);
  EXPECT_EQ(moved.token_key_wrap.form, WrapForm::kUserPin);
  EXPECT_EQ(TokenKeyApart(file, kInitialUserPin), Blob(token_key.begin(), token_key.end()));
  session = Connect();
  ASSERT_EQ(Login(session), 0);
  EXPECT_EQ(SignWith(session, XC_SLOT_SIGNATURE, XC_KEY_SIGNATURE), 0);
}

// A copy of the store taken before a PIN change (a backup, a sync client's
// history), opened with the old PIN, opens no key made after the change.
TEST_F(PinDerivationTest, ACopyFromBeforeAPinChangeOpensNoLaterKey) {
  GenerateKey("OLD_SIG", XC_KEY_SIGNATURE, kInitialUserPin);
  const Blob copy = ReadFileBytes(StorePath());
  XcHandle session = Connect();
  ASSERT_EQ(ChangePin(session, Bytes(kInitialUserPin), Len(kInitialUserPin), Bytes("new pin!"), 8,
                      XC_PIN_USER),
            0);
  Disconnect(session);
  GenerateKey("LATER_ENC", XC_KEY_EXCHANGE, "new pin!");
  const Blob now = ReadFileBytes(StorePath());

  const Blob old_token_key = TokenKeyApart(copy, kInitialUserPin);
  ASSERT_EQ(old_token_key.size(), kTokenKeySize);
  EXPECT_TRUE(KeyOpensApart(copy, XC_SLOT_SIGNATURE, 1, old_token_key))
      << "the copy's own key opens: what the copy held stays readable with its PIN";
  EXPECT_FALSE(KeyOpensApart(now, XC_SLOT_EXCHANGE, 0, old_token_key));
  EXPECT_FALSE(KeyOpensApart(now, XC_SLOT_SIGNATURE, 1, old_token_key));
  const Blob new_token_key = TokenKeyApart(now, "new pin!");
  EXPECT_TRUE(KeyOpensApart(now, XC_SLOT_EXCHANGE, 0, new_token_key));
  EXPECT_TRUE(KeyOpensApart(now, XC_SLOT_SIGNATURE, 1, new_token_key));
}

// A sealed pair carries its slot and key type in its tag: moved to another
// slot or key type it does not open; and no two seals share a nonce.
TEST_F(PinDerivationTest, ASealedPairMovedElsewhereDoesNotOpen) {
  GenerateKey("SIG", XC_KEY_SIGNATURE, kInitialUserPin);
  const TokenState good = Stored();
  struct Case {
    const char *what;
    uint32_t slot;
    uint32_t key_type;
  };
  const Case cases[] = {
      {"to the exchange key type", XC_SLOT_SIGNATURE, XC_KEY_EXCHANGE},
      {"to the other container", XC_SLOT_EXCHANGE, XC_KEY_SIGNATURE},
  };
  for (const Case &c : cases) {
    TokenState moved = good;
    moved.containers[c.slot].present = true;
    moved.containers[c.slot].name = c.slot == XC_SLOT_SIGNATURE ? "SIG" : "ENC";
    KeySlot pair = good.containers[XC_SLOT_SIGNATURE].keys[1];
    moved.containers[XC_SLOT_SIGNATURE].keys[1] = KeySlot{};
    moved.containers[c.slot].keys[c.key_type - 1] = pair;
    WriteFileBytes(StorePath(), Plain(SerializeStore(moved, 90 + c.slot + c.key_type)));
    XcHandle session = Connect();
    ASSERT_EQ(Login(session), 0);
    EXPECT_EQ(SignWith(session, c.slot, c.key_type), XCST_STORE_BAD_KEY) << c.what;
    Disconnect(session);
  }
  const SecretBytes token_key = NewTokenKey();
  const SecretBytes der = Secret(std::vector<uint8_t>(40, 0x30));
  const Blob first = SealPrivateKey(token_key, 0, 1, {}, der);
  const Blob second = SealPrivateKey(token_key, 0, 1, {}, der);
  EXPECT_NE(Blob(first.begin(), first.begin() + kSealNonceSize),
            Blob(second.begin(), second.begin() + kSealNonceSize));
  EXPECT_NE(Blob(first.begin(), first.begin() + kSealNonceSize), Blob(kSealNonceSize, 0));
}

}  // namespace
}  // namespace obkey::softtoken::testing

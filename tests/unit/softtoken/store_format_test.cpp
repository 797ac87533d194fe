#include "store_format.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "pin.h"
#include "rsa_test_keys.h"
#include "softtoken_status.h"

namespace obkey::softtoken {
namespace {

TokenState RichState() {
  TokenState state;
  state.login_epoch.fill(0x5A);
  state.admin_pin.iterations = 7;
  state.admin_pin.salt.fill(1);
  state.admin_pin.hash.fill(2);
  state.user_pin.hash.iterations = 9;
  state.user_pin.hash.salt.fill(3);
  state.user_pin.hash.hash.fill(4);
  state.user_pin.tries_left = 4;
  Container &sig = state.containers[0];
  sig.present = true;
  sig.name = std::string(kMaxContainerName, 'S');
  sig.keys[1].private_key_der.assign(kMaxPrivateKeyDer, 0xAB);
  sig.keys[1].certificate.assign(kMaxCertificate, 0xCD);
  Container &enc = state.containers[1];
  enc.present = true;
  enc.name = "ENC";
  enc.keys[0].certificate = {1, 2, 3};
  state.user_files[1].assign(200, 0);
  state.user_files[0xFFFFFFFF].assign(kUserFileCapacity - 200, 0xEE);
  state.user_files[7] = {};
  return state;
}

void ExpectSameState(const TokenState &a, const TokenState &b) {
  EXPECT_EQ(a.login_epoch, b.login_epoch);
  EXPECT_EQ(a.admin_pin.salt, b.admin_pin.salt);
  EXPECT_EQ(a.admin_pin.hash, b.admin_pin.hash);
  EXPECT_EQ(a.admin_pin.iterations, b.admin_pin.iterations);
  EXPECT_EQ(a.user_pin.hash.hash, b.user_pin.hash.hash);
  EXPECT_EQ(a.user_pin.tries_left, b.user_pin.tries_left);
  for (size_t slot = 0; slot < kContainerSlots; ++slot) {
    EXPECT_EQ(a.containers[slot].present, b.containers[slot].present);
    EXPECT_EQ(a.containers[slot].name, b.containers[slot].name);
    for (size_t k = 0; k < kKeyTypes; ++k) {
      EXPECT_EQ(a.containers[slot].keys[k].private_key_der,
                b.containers[slot].keys[k].private_key_der);
      EXPECT_EQ(a.containers[slot].keys[k].certificate, b.containers[slot].keys[k].certificate);
    }
  }
  EXPECT_EQ(a.user_files, b.user_files);
}

// Resign recomputes the header of a store whose body a test has edited, so
// that only the body's layout rules can reject it.
void Resign(std::vector<uint8_t> *file) {
  uint32_t body_len = static_cast<uint32_t>(file->size() - kStoreHeaderSize);
  for (int i = 0; i < 4; ++i) (*file)[12 + i] = static_cast<uint8_t>(body_len >> (8 * i));
  unsigned int len = 0;
  EVP_Digest(file->data() + kStoreChecksummedOffset, file->size() - kStoreChecksummedOffset,
             file->data() + kStoreChecksumOffset, &len, EVP_sha256(), nullptr);
}

TEST(StoreFormat, RoundTripKeepsEveryField) {
  TokenState empty;
  empty.admin_pin.iterations = 1;
  empty.user_pin.hash.iterations = 1;
  for (const TokenState &original : {RichState(), empty}) {
    TokenState parsed;
    ASSERT_EQ(ParseStore(SerializeStore(original, 1), &parsed), 0);
    ExpectSameState(original, parsed);
  }
}

TEST(StoreFormat, EveryTruncationIsCorrupt) {
  std::vector<uint8_t> file = obkey::softtoken::testing::Plain(SerializeStore(RichState(), 1));
  for (size_t len = 0; len < file.size(); len += (len < 64 ? 1 : 997)) {
    std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(len));
    TokenState parsed;
    EXPECT_EQ(ParseStore(cut, &parsed), XCST_STORE_CORRUPT) << "length " << len;
  }
}

TEST(StoreFormat, DamagedHeaderOrBody) {
  const std::vector<uint8_t> good =
      obkey::softtoken::testing::Plain(SerializeStore(RichState(), 1));
  struct Case {
    const char *what;
    size_t offset;
    uint8_t xor_mask;
    int32_t expected;
  };
  const Case cases[] = {
      {"magic", 0, 0x01, XCST_STORE_CORRUPT},
      {"version", 8, 0x08, XCST_STORE_VERSION},
      {"version 4 read as 3", 8, 0x07, XCST_STORE_CORRUPT},
      {"version 4 read as 2", 8, 0x06, XCST_STORE_CORRUPT},
      {"version 4 read as 1", 8, 0x05, XCST_STORE_CORRUPT},
      {"version high byte", 11, 0x80, XCST_STORE_VERSION},
      {"body length", 12, 0x01, XCST_STORE_CORRUPT},
      {"checksum", 20, 0x40, XCST_STORE_CORRUPT},
      {"generation", kStoreChecksummedOffset, 0x01, XCST_STORE_CORRUPT},
      {"generation high byte", kStoreHeaderSize - 1, 0x80, XCST_STORE_CORRUPT},
      {"first body byte", kStoreHeaderSize, 0x01, XCST_STORE_CORRUPT},
      {"last body byte", good.size() - 1, 0x80, XCST_STORE_CORRUPT},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> file = good;
    file[c.offset] ^= c.xor_mask;
    TokenState untouched;
    untouched.user_pin.tries_left = 3;
    EXPECT_EQ(ParseStore(file, &untouched), c.expected) << c.what;
    EXPECT_EQ(untouched.user_pin.tries_left, 3) << c.what << ": output written on failure";
  }
}

TEST(StoreFormat, ChecksummedBodyWithBadLayoutIsCorrupt) {
  TokenState state;
  state.admin_pin.iterations = 1;
  state.user_pin.hash.iterations = 1;
  state.containers[0].present = true;
  state.containers[0].name = "S";
  const std::vector<uint8_t> good = obkey::softtoken::testing::Plain(SerializeStore(state, 1));
  // Body offsets: epoch 16, admin 52, user kind 1 and 52, tries, then the
  // token key form and the containers: slot 0's present byte, name length,
  // name, and its first key's form byte.
  const size_t tries = kStoreHeaderSize + 16 + 52 + 1 + 52;
  struct Case {
    const char *what;
    void (*edit)(std::vector<uint8_t> *, size_t);
  };
  const Case cases[] = {
      {"retry counter above 10", [](std::vector<uint8_t> *f, size_t t) { (*f)[t] = 11; }},
      {"container flag 2", [](std::vector<uint8_t> *f, size_t t) { (*f)[t + 2] = 2; }},
      {"zero PBKDF2 iterations",
       [](std::vector<uint8_t> *f, size_t t) { std::memset(f->data() + t - 4, 0, 4); }},
      // A forged count would stall every login.
      {"PBKDF2 iterations past the bound",
       [](std::vector<uint8_t> *f, size_t t) {
         const uint32_t count = 1000001;
         for (int i = 0; i < 4; ++i) (*f)[t - 4 + i] = static_cast<uint8_t>(count >> (8 * i));
       }},
      {"unknown PIN derivation", [](std::vector<uint8_t> *f, size_t t) { (*f)[t - 53] = 3; }},
      {"token key form 3", [](std::vector<uint8_t> *f, size_t t) { (*f)[t + 1] = 3; }},
      {"a clear key of no bytes",
       [](std::vector<uint8_t> *f, size_t t) {
         (*f)[t + 5] = 1;
         f->insert(f->begin() + static_cast<std::ptrdiff_t>(t + 6), 2, 0);
       }},
      {"trailing byte", [](std::vector<uint8_t> *f, size_t) { f->push_back(0); }},
      {"missing file entries", [](std::vector<uint8_t> *f, size_t) { f->back() = 1; }},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> file = good;
    c.edit(&file, tries);
    Resign(&file);
    TokenState parsed;
    EXPECT_EQ(ParseStore(file, &parsed), XCST_STORE_CORRUPT) << c.what;
  }
}

TEST(StoreFormat, UserFileNumbersThatDoNotAscendAreCorrupt) {
  TokenState state;
  state.admin_pin.iterations = 1;
  state.user_pin.hash.iterations = 1;
  state.user_files[3] = {'a'};
  state.user_files[7] = {'b'};
  const std::vector<uint8_t> good = obkey::softtoken::testing::Plain(SerializeStore(state, 1));
  // The body ends with the last entry: number (4 bytes), size (4), one byte.
  const size_t last_number = good.size() - 9;
  ASSERT_EQ(good[last_number], 7);
  for (uint8_t number : {uint8_t{3}, uint8_t{2}}) {
    std::vector<uint8_t> file = good;
    file[last_number] = number;
    Resign(&file);
    TokenState parsed;
    EXPECT_EQ(ParseStore(file, &parsed), XCST_STORE_CORRUPT)
        << (number == 3 ? "duplicate" : "descending") << " user-file number";
  }
  TokenState parsed;
  EXPECT_EQ(ParseStore(good, &parsed), 0);
}

TEST(StoreFormat, UserFilesBeyondCapacityAreCorrupt) {
  TokenState state = RichState();
  state.user_files[8] = {0};  // one byte over 64 KiB in total
  TokenState parsed;
  EXPECT_EQ(ParseStore(SerializeStore(state, 1), &parsed), XCST_STORE_CORRUPT);
}

// A state whose user PIN is under scrypt and whose token key is wrapped
// under it, with one sealed key pair: what a format and a key import make.
TokenState SealedState() {
  TokenState state;
  state.admin_pin.iterations = 1;
  state.user_pin.hash.kdf = PinKdf::kScrypt;
  state.user_pin.hash.scrypt = kDefaultScryptCost;
  state.user_pin.hash.hash.fill(9);
  state.token_key_wrap.form = WrapForm::kUserPin;
  state.token_key_wrap.sealed.fill(6);
  KeySlot &keys = state.containers[0].keys[1];
  state.containers[0].present = true;
  state.containers[0].name = "SIG";
  keys.public_key_der.assign(140, 0x30);
  keys.sealed_key.assign(kSealOverhead + 600, 0x77);
  return state;
}

TEST(StoreFormat, ScryptHashAndSealedKeysRoundTrip) {
  const TokenState original = SealedState();
  TokenState parsed;
  ASSERT_EQ(ParseStore(SerializeStore(original, 1), &parsed), 0);
  EXPECT_EQ(parsed.user_pin.hash.kdf, PinKdf::kScrypt);
  EXPECT_TRUE(parsed.user_pin.hash.scrypt == kDefaultScryptCost);
  EXPECT_EQ(parsed.user_pin.hash.hash, original.user_pin.hash.hash);
  EXPECT_EQ(parsed.token_key_wrap.form, WrapForm::kUserPin);
  EXPECT_EQ(parsed.token_key_wrap.sealed, original.token_key_wrap.sealed);
  EXPECT_EQ(parsed.containers[0].keys[1].sealed_key, original.containers[0].keys[1].sealed_key);
  EXPECT_THROW(SerializeStore(original, 1, kStoreFormatVersion3), std::invalid_argument)
      << "version 3 has no room for scrypt";
}

// Rules of a version 4 body that only a forged or damaged store breaks.
TEST(StoreFormat, ForgedDerivationsAndSealsAreRefused) {
  struct Case {
    const char *what;
    void (*edit)(TokenState *);
    int32_t expected;
  };
  const Case cases[] = {
      {"N below the floor", [](TokenState *s) { s->user_pin.hash.scrypt.log2_n = 9; },
       XCST_STORE_CORRUPT},
      {"N past the bound", [](TokenState *s) { s->user_pin.hash.scrypt.log2_n = 21; },
       XCST_STORE_CORRUPT},
      {"r of 0", [](TokenState *s) { s->user_pin.hash.scrypt.r = 0; }, XCST_STORE_CORRUPT},
      {"p past the bound", [](TokenState *s) { s->user_pin.hash.scrypt.p = 17; },
       XCST_STORE_CORRUPT},
      {"memory past 256 MiB",
       [](TokenState *s) {
         s->user_pin.hash.scrypt = ScryptCost{20, 32, 1};
       },
       XCST_STORE_CORRUPT},
      {"token key under a PBKDF2 PIN",
       [](TokenState *s) {
         s->user_pin.hash = PinHash{PinKdf::kPbkdf2Sha256, {}, {}, 1, {}};
       },
       XCST_STORE_CORRUPT},
      // An own-salt wrap derives its key with PBKDF2 at the stored count.
      {"own-salt wrap with PBKDF2 iterations past the bound",
       [](TokenState *s) {
         s->user_pin.hash = PinHash{PinKdf::kPbkdf2Sha256, {}, {}, 1, {}};
         s->token_key_wrap.form = WrapForm::kOwnSalt;
         s->token_key_wrap.iterations = 1000001;
       },
       XCST_STORE_CORRUPT},
      {"sealed key no longer than its overhead",
       [](TokenState *s) { s->containers[0].keys[1].sealed_key.resize(kSealOverhead); },
       XCST_STORE_CORRUPT},
      {"clear key beside a token key",
       [](TokenState *s) { s->containers[0].keys[0].private_key_der.assign(600, 0x30); },
       XCST_STORE_BAD_KEY},
  };
  for (const Case &c : cases) {
    TokenState state = SealedState();
    c.edit(&state);
    TokenState parsed;
    EXPECT_EQ(ParseStore(SerializeStore(state, 1), &parsed), c.expected) << c.what;
  }
  TokenState parsed;
  EXPECT_EQ(ParseStore(SerializeStore(SealedState(), 1), &parsed), 0);
}

}  // namespace
}  // namespace obkey::softtoken

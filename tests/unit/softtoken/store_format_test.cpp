#include "store_format.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

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
      {"version", 8, 0x04, XCST_STORE_VERSION},
      {"version 3 read as 2", 8, 0x01, XCST_STORE_CORRUPT},
      {"version 3 read as 1", 8, 0x02, XCST_STORE_CORRUPT},
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
  const std::vector<uint8_t> good = obkey::softtoken::testing::Plain(SerializeStore(state, 1));
  // Body offsets: epoch 16, admin 52, user 52, tries, then the containers.
  const size_t tries = kStoreHeaderSize + 16 + 52 + 52;
  struct Case {
    const char *what;
    void (*edit)(std::vector<uint8_t> *, size_t);
  };
  const Case cases[] = {
      {"retry counter above 10", [](std::vector<uint8_t> *f, size_t t) { (*f)[t] = 11; }},
      {"container flag 2", [](std::vector<uint8_t> *f, size_t t) { (*f)[t + 1] = 2; }},
      {"zero PBKDF2 iterations",
       [](std::vector<uint8_t> *f, size_t t) { std::memset(f->data() + t - 4, 0, 4); }},
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

}  // namespace
}  // namespace obkey::softtoken

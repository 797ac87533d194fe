// What a process keeps of a store it parsed: the generation and the stamp,
// reuse while the file is unchanged, and everything that must end it.
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>

#include "file_faults.h"
#include "key_cache.h"
#include "pin.h"
#include "rsa_test_keys.h"
#include "status_text.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using Blob = std::vector<uint8_t>;

StoreStamp StampOf(const Blob &file) {
  StoreStamp stamp;
  EXPECT_TRUE(ReadStoreStamp(file.data(), file.size(), &stamp));
  return stamp;
}

// AsVersion1 lays a version 2 store out as version 1: no generation, the
// checksum over the body alone.
Blob AsVersion1(const Blob &file) {
  Blob v1(file.size() - (kStoreHeaderSize - kStoreHeaderSize1));
  std::memcpy(v1.data(), file.data(), kStoreHeaderSize1);
  std::memcpy(v1.data() + kStoreHeaderSize1, file.data() + kStoreHeaderSize,
              file.size() - kStoreHeaderSize);
  v1[8] = 1;
  unsigned int len = 0;
  EVP_Digest(v1.data() + kStoreHeaderSize1, v1.size() - kStoreHeaderSize1,
             v1.data() + kStoreChecksumOffset, &len, EVP_sha256(), nullptr);
  return v1;
}

// AsVersion2 lays a store without keys out as version 2, which had no
// token key and kept the user PIN under PBKDF2.
Blob AsVersion2(const Blob &file) {
  TokenState state;
  StoreStamp stamp;
  EXPECT_EQ(ParseStore(file, &state, &stamp), 0);
  state.token_key_wrap = TokenKeyWrap{};
  state.user_pin.hash = HashPinPbkdf2(reinterpret_cast<const uint8_t *>(kInitialUserPin),
                                      sizeof(kInitialUserPin) - 1);
  return Plain(SerializeStore(state, stamp.generation, kStoreFormatVersion2));
}

TokenState SmallState(uint8_t file_byte) {
  TokenState state;
  state.admin_pin.iterations = 1;
  state.user_pin.hash.iterations = 1;
  state.user_files[1].assign(4, file_byte);
  return state;
}

TEST(StoreStamp, GenerationAndChecksumComeBackFromHeaderAndWholeFile) {
  const uint64_t generations[] = {0, 1, 0xFFFFFFFFull, (1ull << 32) | 5, ~0ull};
  for (uint64_t generation : generations) {
    const Blob file = Plain(SerializeStore(SmallState('a'), generation));
    TokenState parsed;
    StoreStamp from_file;
    ASSERT_EQ(ParseStore(file, &parsed, &from_file), 0) << generation;
    EXPECT_EQ(from_file.generation, generation);
    EXPECT_EQ(StampOf(file), from_file) << generation;
    // The header alone is enough, and a short one is not.
    EXPECT_EQ(StampOf(Blob(file.begin(), file.begin() + kStoreHeaderSize)), from_file);
    StoreStamp unused;
    EXPECT_FALSE(ReadStoreStamp(file.data(), kStoreHeaderSize - 1, &unused));
  }
  // Same generation, other contents: the checksum tells them apart.
  EXPECT_NE(StampOf(Plain(SerializeStore(SmallState('a'), 7))),
            StampOf(Plain(SerializeStore(SmallState('b'), 7))));
}

TEST(StoreStamp, Version1StoreReadsAsGenerationZero) {
  const Blob v1 = AsVersion1(Plain(SerializeStore(SmallState('x'), 9, kStoreFormatVersion2)));
  TokenState parsed;
  StoreStamp stamp;
  ASSERT_EQ(ParseStore(v1, &parsed, &stamp), 0);
  EXPECT_EQ(stamp.generation, 0u);
  EXPECT_EQ(parsed.user_files[1], Blob(4, 'x'));
  EXPECT_EQ(StampOf(v1), stamp);
  Blob damaged = v1;
  damaged.back() ^= 1;
  EXPECT_EQ(ParseStore(damaged, &parsed, &stamp), XCST_STORE_CORRUPT);
}

class StoreReuseTest : public TokenTest {
 protected:
  uint64_t Generation(int device = 0) const {
    return StampOf(ReadFileBytes(StorePath(device))).generation;
  }

  // ReadFile1 connects and returns the four bytes of user file 1, or the
  // connect's status as text.
  std::string ReadFile1(int device) {
    XcHandle session = 0;
    if (int32_t status = ConnectEkey(device, &session)) return obkey::StatusName(status);
    XcHandle file = 0;
    uint8_t out[4] = {};
    uint32_t len = sizeof(out);
    std::string result = "no file";
    if (CreateUserFile(session, 1, 4, XC_USER_FILE_OPEN, &file) == 0 &&
        ReadUserFile(file, out, &len) == 0) {
      result.assign(out, out + len);
    }
    DisconnectEkey(session);
    return result;
  }

  // SessionThatSigned makes a signature key pair in a new container "SIG",
  // then opens a session that signs once with it, so that its public part
  // and its pair are kept; `*out_container` is the container in it.
  XcHandle SessionThatSigned(XcHandle *out_container) {
    XcHandle session = LoggedInSession();
    XcHandle container = Container(session, "SIG");
    EXPECT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
    Disconnect(session);
    session = Connect();
    EXPECT_EQ(SetCurContainer(session, 0, out_container), 0);
    uint8_t block[128] = {}, signature[128];
    uint32_t len = sizeof(signature);
    EXPECT_EQ(RSASign(*out_container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE), 0);
    return session;
  }

  // MakeTokenWithFile1 formats `device` and writes `text` to user file 1.
  void MakeTokenWithFile1(int device, const char *text) {
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, device), 0);
    XcHandle session = Connect(device);
    ASSERT_EQ(Login(session), 0);
    XcHandle file = 0;
    ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
    ASSERT_EQ(WriteUserFile(file, Bytes(text), 4), 0);
    Disconnect(session);
  }
};

TEST_F(StoreReuseTest, EveryCommittedChangeBumpsTheGenerationAndNothingElseDoes) {
  XcHandle session = Connect();
  XcHandle file = 0;
  struct Step {
    const char *what;
    std::function<void()> act;
    uint64_t increment;
  };
  const Step steps[] = {
      // A session's changes wait for its disconnect.
      {"create a file", [&] { CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file); }, 0},
      {"create it again (refused)",
       [&] { CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file); }, 0},
      // A PIN check pays its try before comparing and restores it after a match.
      {"wrong PIN", [&] { Login(session, "00000000"); }, 1},
      {"right PIN", [&] { Login(session); }, 2},
      {"right PIN again", [&] { Login(session); }, 2},
      {"read the file",
       [&] {
         uint8_t out[4];
         uint32_t len = 4;
         ReadUserFile(file, out, &len);
       },
       0},
      {"disconnect", [&] { Disconnect(session); }, 1},
      {"format and connect",
       [&] {
         FormatToken(kInitialAdminPin, kInitialAdminPin, 0);
         session = Connect();
       },
       1},
      {"disconnect without changes", [&] { Disconnect(session); }, 0},
  };
  for (const Step &step : steps) {
    const uint64_t before = Generation();
    step.act();
    EXPECT_EQ(Generation(), before + step.increment) << step.what;
  }
}

TEST_F(StoreReuseTest, Version1StoreOpensAndGainsAGenerationAtItsNextWrite) {
  MakeTokenWithFile1(0, "old!");
  WriteFileBytes(StorePath(), AsVersion1(AsVersion2(ReadFileBytes(StorePath()))));
  EXPECT_EQ(ReadFile1(0), "old!");
  EXPECT_EQ(ReadFileBytes(StorePath())[8], 1) << "reading rewrote the store";
  // The PIN check's first write (its try) is generation 1, its second 2.
  LoggedInSession();
  const Blob written = ReadFileBytes(StorePath());
  EXPECT_EQ(written[8], kStoreFormatVersion);
  EXPECT_EQ(StampOf(written).generation, 2u);
}

TEST_F(StoreReuseTest, UnchangedStoreIsReusedAndAChangedOneReadAfresh) {
  StorePaths paths;
  ASSERT_TRUE(StorePathsFor(0, &paths));
  // Just formatted: too fresh for its identity to vouch for it, but a whole
  // read that checks out with the kept stamp needs no parsing.
  LoadedStore first, second;
  ASSERT_EQ(LoadStore(paths, &first), 0);
  ASSERT_EQ(LoadStore(paths, &second), 0);
  EXPECT_EQ(first.state, second.state);
  EXPECT_EQ(first.stamp, second.stamp);

  SetStoreSettleMsForTesting(0);
  LoadedStore kept, reused;
  ASSERT_EQ(LoadStore(paths, &kept), 0);
  ASSERT_EQ(LoadStore(paths, &reused), 0);
  EXPECT_EQ(kept.state, reused.state);

  // A change made through a session is read afresh, with its new stamp.
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  Disconnect(session);
  LoadedStore changed;
  ASSERT_EQ(LoadStore(paths, &changed), 0);
  EXPECT_NE(changed.state, kept.state);
  // Two writes for the PIN check, one for the session.
  EXPECT_EQ(changed.stamp.generation, kept.stamp.generation + 3);
  EXPECT_EQ(changed.state->user_files.count(1), 1u);
}

// File times are coarse, so a store changed moments ago could be rewritten
// within the same tick and keep its identity: until it has rested, each
// connect reads it whole (its stamp then spares the parse). Once it has,
// its identity alone vouches for it and the file is not even opened.
TEST_F(StoreReuseTest, AStoreChangedMomentsAgoIsReadAtEveryConnectUntilItRests) {
  SetStoreSettleMsForTesting(-1);
  Disconnect(LoggedInSession());  // the login wrote the store just now
  const struct {
    int settle_ms;
    int opens;  // of two connects
  } cases[] = {{-1, 2}, {0, 1}};
  for (const auto &c : cases) {
    SetStoreSettleMsForTesting(c.settle_ms);
    obkey_test::CountOpensOf("token-0.db");
    Disconnect(Connect());
    Disconnect(Connect());
    EXPECT_EQ(obkey_test::OpensCounted(), c.opens) << "settle time " << c.settle_ms << " ms";
  }
}

// A store replaced behind the token's back, by a file of the same size and
// generation (a backup copied back, or a damaged copy whose header is
// intact), is read afresh: a valid one is used, a damaged one refused.
TEST_F(StoreReuseTest, ReplacedStoreIsReadAfreshAndADamagedOneRefused) {
  enum class How { kRenamedOver, kRewrittenAfterATick, kRewrittenAtOnce };
  struct Case {
    const char *what;
    How how;
    bool damaged;
    int settle_ms;  // -1: the default
  };
  const Case cases[] = {
      {"copy renamed over", How::kRenamedOver, false, 0},
      {"damaged copy renamed over", How::kRenamedOver, true, 0},
      {"rewritten in place a tick later", How::kRewrittenAfterATick, false, 0},
      {"damaged in place a tick later", How::kRewrittenAfterATick, true, 0},
      // Within one tick of the clock the identity cannot tell; the settle
      // time must.
      {"rewritten in place at once", How::kRewrittenAtOnce, false, -1},
      {"damaged in place at once", How::kRewrittenAtOnce, true, -1},
  };
  int device = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetStoreSettleMsForTesting(-1);
    MakeTokenWithFile1(device, "AAAA");
    const Blob original = ReadFileBytes(StorePath(device));
    Blob replacement;
    if (c.damaged) {
      replacement = original;
      replacement[replacement.size() - 3] ^= 0x10;
    } else {
      TokenState state;
      StoreStamp stamp;
      ASSERT_EQ(ParseStore(original, &state, &stamp), 0);
      state.user_files[1].assign(4, 'B');
      replacement = Plain(SerializeStore(state, stamp.generation));
    }
    ASSERT_EQ(replacement.size(), original.size());
    ASSERT_EQ(StampOf(replacement).generation, StampOf(original).generation);

    SetStoreSettleMsForTesting(c.settle_ms);
    EXPECT_EQ(ReadFile1(device), "AAAA");
    switch (c.how) {
      case How::kRenamedOver:
        WriteFileBytes(StorePath(device) + ".copy", replacement);
        ASSERT_EQ(std::rename((StorePath(device) + ".copy").c_str(), StorePath(device).c_str()), 0);
        break;
      case How::kRewrittenAfterATick:
        usleep(50 * 1000);
        WriteFileBytes(StorePath(device), replacement);
        break;
      case How::kRewrittenAtOnce:
        WriteFileBytes(StorePath(device), replacement);
        break;
    }
    EXPECT_EQ(ReadFile1(device), c.damaged ? "XCST_STORE_CORRUPT" : "BBBB");
    ++device;
  }
}

TEST_F(StoreReuseTest, KeysAreKeptForTheirBytesAndNothingAfterAFailedRead) {
  DropAllCachedKeys();
  const SecretBytes der_a = Secret(StrictDer(NewRsaKey(1024).get()));
  const SecretBytes der_b = Secret(StrictDer(NewRsaKey(1024).get()));
  const TokenState holds_a = WithClearKey(0, 1, der_a);
  TokenState holds_b = WithClearKey(0, 1, der_b);
  holds_b.containers[1].keys[0].private_key_der = der_b;
  StoreStamp one, two, three, four;
  one.generation = 1;
  two.generation = 2;
  three.generation = 3;
  four.generation = 4;
  std::shared_ptr<const RsaKey> first, again, other_type, new_epoch, renewed, failed;
  ASSERT_EQ(CachedClearKey("token-a", one, holds_a, 0, 1, &first), 0);
  ASSERT_EQ(CachedClearKey("token-a", two, holds_a, 0, 1, &again), 0);
  EXPECT_EQ(again, first) << "a later store with the same key bytes must give the kept key";
  ASSERT_EQ(CachedClearKey("token-a", two, holds_b, 1, 0, &other_type), 0);
  ASSERT_EQ(CachedClearKey("token-b", one, holds_b, 0, 1, &other_type), 0);
  EXPECT_EQ(CachedKeyCount(), 3u);

  // The same bytes under another login epoch, or other bytes: parsed
  // afresh, never the kept key; a store that no longer holds a key lets it go.
  TokenState holds_a_later = holds_a;
  holds_a_later.login_epoch[0] ^= 1;
  ASSERT_EQ(CachedClearKey("token-a", three, holds_a_later, 0, 1, &new_epoch), 0);
  EXPECT_NE(new_epoch, first);
  ASSERT_EQ(CachedClearKey("token-a", four, holds_b, 0, 1, &renewed), 0);
  EXPECT_NE(renewed, new_epoch);
  EXPECT_EQ(renewed->Modulus(), other_type->Modulus());
  KeepOnlyKeysOf("token-a", TokenState{});
  EXPECT_EQ(CachedKeyCount(), 1u);

  // Unreadable DER: an error, and the slot keeps nothing.
  SecretBytes broken = der_a;
  broken.resize(broken.size() - 1);
  EXPECT_EQ(CachedClearKey("token-a", four, WithClearKey(0, 1, broken), 0, 1, &failed),
            XCST_STORE_CORRUPT);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(CachedKeyCount(), 1u);
  // A key still held by a caller outlives its drop.
  DropCachedKeys("token-b");
  EXPECT_EQ(CachedKeyCount(), 0u);
  RsaBlock in{}, out{};
  EXPECT_EQ(other_type->PublicRaw(in, &out), 0);
}

// A commit that leaves a key alone (a login's retry counter, a user file)
// must not make every process parse and check it again; one that replaces
// it must not leave the old key in memory.
TEST_F(StoreReuseTest, ACommitKeepsTheKeysItLeftAloneAndDropsTheOthers) {
  SetStoreSettleMsForTesting(0);
  struct Case {
    const char *what;
    std::function<void(XcHandle session, XcHandle container)> change;
    size_t keys_kept;
  };
  const Case cases[] = {
      {"a user file made",
       [](XcHandle session, XcHandle) {
         XcHandle file = 0;
         ASSERT_EQ(CreateUserFile(session, 1, 16, XC_USER_FILE_CREATE, &file), 0);
       },
       2},
      {"a wrong PIN counted",
       [](XcHandle session, XcHandle) { ASSERT_NE(Login(session, "wrong-pin"), 0); }, 2},
      {"the key pair made again",
       [](XcHandle, XcHandle container) { ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0); },
       0},
  };
  for (const Case &c : cases) {
    DropAllCachedKeys();
    XcHandle container = 0;
    XcHandle session = SessionThatSigned(&container);
    ASSERT_EQ(CachedKeyCount(), 2u) << c.what;
    c.change(session, container);
    Disconnect(session);
    EXPECT_EQ(CachedKeyCount(), c.keys_kept) << c.what;
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  }
}

TEST_F(StoreReuseTest, FormatAndAFailedReadDropTheTokensKeys) {
  SetStoreSettleMsForTesting(0);
  DropAllCachedKeys();
  struct Case {
    const char *what;
    std::function<void()> end_it;
  };
  const Case cases[] = {
      {"format", [&] { ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0); }},
      {"damaged store",
       [&] {
         Blob file = ReadFileBytes(StorePath());
         file.back() ^= 1;
         usleep(50 * 1000);
         WriteFileBytes(StorePath(), file);
         XcHandle refused = 0;
         EXPECT_EQ(ConnectEkey(0, &refused), XCST_STORE_CORRUPT);
       }},
  };
  for (const Case &c : cases) {
    XcHandle container = 0;
    XcHandle session = SessionThatSigned(&container);
    // The public part read at the connect, the key pair opened to sign.
    EXPECT_EQ(CachedKeyCount(), 2u) << c.what;
    Disconnect(session);
    c.end_it();
    EXPECT_EQ(CachedKeyCount(), 0u) << c.what;
    // A fresh token for the next case (a damaged store is never formatted).
    std::remove(StorePath().c_str());
    ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  }
}

}  // namespace
}  // namespace obkey::softtoken::testing

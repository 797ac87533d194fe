// What the token refuses to do with its files and its keys: a replace that
// cannot fit, a directory others may write to, a store holding a key that
// does not hold together; what a failed call leaves of a session; and what
// still works on a full disk.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "pin.h"
#include "rsa_test_keys.h"
#include "store_format.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

using StoreSafetyTest = TokenTest;

TEST_F(StoreSafetyTest, OpeningAFileAtASizeNoFileCanHaveFailsBeforeAnythingIsDeleted) {
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 7, 3, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(WriteUserFile(file, Bytes("old"), 3), 0);
  struct Case {
    uint32_t size;
    int32_t expected;
  };
  const Case cases[] = {
      {0, 0},
      {3, 0},
      {kUserFileCapacity, 0},
      {kUserFileCapacity + 1, XCST_FILE_SPACE_FULL},
      {70000, XCST_FILE_SPACE_FULL},
      {0xFFFFFFFFu, XCST_FILE_SPACE_FULL},
  };
  for (const Case &c : cases) {
    XcHandle opened = 0;
    EXPECT_EQ(CreateUserFile(session, 7, c.size, XC_USER_FILE_OPEN, &opened), c.expected) << c.size;
  }
  Disconnect(session);
  // The replace stopped at its open: the old data is all there.
  session = Connect();
  ASSERT_EQ(CreateUserFile(session, 7, 0, XC_USER_FILE_OPEN, &file), 0);
  uint8_t out[8] = {};
  uint32_t len = sizeof(out);
  ASSERT_EQ(ReadUserFile(file, out, &len), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), len), "old");
}

TEST_F(StoreSafetyTest, FailedCallInASessionKeepsItsEarlierChanges) {
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(WriteUserFile(file, Bytes("kept"), 4), 0);
  EXPECT_EQ(CreateUserFile(session, 2, kUserFileCapacity, XC_USER_FILE_CREATE, &file),
            XCST_FILE_SPACE_FULL);
  EXPECT_EQ(Login(session, "00000000"), XCST_PIN_INCORRECT);
  // Nothing is in the store before the disconnect, all of it after.
  TokenState stored;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
  EXPECT_TRUE(stored.user_files.empty());
  Disconnect(session);
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &stored), 0);
  EXPECT_EQ(stored.user_files[1], std::vector<uint8_t>({'k', 'e', 'p', 't'}));
  EXPECT_EQ(stored.user_pin.tries_left, kUserPinTries - 1);
}

TEST_F(StoreSafetyTest, DirectoryOthersMayWriteToIsRefused) {
  struct Case {
    mode_t mode;
    bool refused;
  };
  const Case cases[] = {
      {0700, false}, {0750, false}, {0755, false}, {0720, true},
      {0702, true},  {0777, true},  {01777, true},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(chmod(dir_.c_str(), c.mode), 0);
    XcHandle session = 0;
    int32_t connect = ConnectEkey(0, &session);
    if (connect == 0) DisconnectEkey(session);
    EXPECT_EQ(connect, c.refused ? XCST_TOKEN_DIR_SHARED : 0) << std::oct << c.mode;
    EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0),
              c.refused ? XCST_TOKEN_DIR_SHARED : 0)
        << std::oct << c.mode;
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
}

// A token folder that another account controls is refused, as ssh refuses
// a ~/.ssh others control: the folder owned by another account (even 755),
// or a private folder inside one another account owns, or inside a folder
// others may write to that is not sticky.
TEST_F(StoreSafetyTest, AFolderAnotherAccountControlsIsRefused) {
  constexpr uid_t kOther = 65534;
  const std::string tokens = dir_ + "/above/tokens";
  ASSERT_EQ(mkdir((dir_ + "/above").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tokens.c_str(), 0700), 0);
  setenv(kTokenDirVariable, tokens.c_str(), 1);
  ASSERT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), 0);
  const uid_t me = geteuid();
  struct Case {
    const char *what;
    const char *folder;  // below dir_
    bool other_owner;
    mode_t mode;
    int32_t expected;
  };
  const Case cases[] = {
      {"the token folder another's, 755", "/above/tokens", true, 0755, XCST_TOKEN_DIR_FOREIGN},
      {"the folder above another's", "/above", true, 0755, XCST_TOKEN_DIR_FOREIGN},
      {"the folder above open to all", "/above", false, 0777, XCST_TOKEN_DIR_FOREIGN},
      {"the folder above open to all, sticky", "/above", false, 01777, 0},
      {"the folder above open to its group", "/above", false, 0775, XCST_TOKEN_DIR_FOREIGN},
      {"the user's own folders", "/above", false, 0755, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = dir_ + c.folder;
    if (c.other_owner && me != 0) {
      // Only root can give a folder to another account; a folder root owns
      // is another account's for anyone else.
      continue;
    }
    ASSERT_EQ(chown(folder.c_str(), c.other_owner ? kOther : me, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
    XcHandle session = 0;
    const int32_t connect = ConnectEkey(0, &session);
    if (connect == 0) DisconnectEkey(session);
    EXPECT_EQ(connect, c.expected);
    EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), c.expected);
    // A folder format would make inside it is refused before it is made.
    setenv(kTokenDirVariable, (folder + "/new").c_str(), 1);
    EXPECT_EQ(FormatToken(kInitialAdminPin, kInitialAdminPin, 0), c.expected);
    EXPECT_EQ(access((folder + "/new").c_str(), F_OK) == 0, c.expected == 0);
    obkey_test::RemoveTree(folder + "/new");
    setenv(kTokenDirVariable, tokens.c_str(), 1);
    ASSERT_EQ(chown(folder.c_str(), me, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder == std::string("/above") ? 0755 : 0700), 0);
  }
  if (me != 0) {
    // Someone else's folder, without root: one root owns.
    setenv(kTokenDirVariable, "/", 1);
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), XCST_TOKEN_DIR_FOREIGN) << "/ as the token folder";
  }
}

// A store whose key was changed and its checksum recomputed parses, but the
// key no longer holds together: the store is refused rather than used to
// make signatures that do not verify (or that give away the primes).
TEST_F(StoreSafetyTest, StoreWithAnInconsistentKeyIsRefused) {
  Pkey key = NewRsaKey(1024);
  const std::vector<uint8_t> der = StrictDer(key.get());
  const std::vector<uint8_t> p = Part(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, 64);
  const std::vector<uint8_t> dq = Part(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, 64);
  const std::vector<uint8_t> d = Part(key.get(), OSSL_PKEY_PARAM_RSA_D, 128);
  auto offset_of = [&](const std::vector<uint8_t> &part) {
    auto at = std::search(der.begin(), der.end(), part.begin() + 1, part.end());
    return static_cast<size_t>(at - der.begin()) + 20;
  };
  struct Case {
    const char *what;
    size_t offset;  // 0: the key as it is
    int32_t expected;
  };
  const Case cases[] = {
      {"sound key", 0, 0},
      {"n", 20, XCST_STORE_BAD_KEY},
      {"d", offset_of(d), XCST_STORE_BAD_KEY},
      {"p", offset_of(p), XCST_STORE_BAD_KEY},
      {"dQ", offset_of(dq), XCST_STORE_BAD_KEY},
      {"qInv", der.size() - 1, XCST_STORE_BAD_KEY},
  };
  TokenState base;
  ASSERT_EQ(ParseStore(ReadFileBytes(StorePath()), &base), 0);
  // Clear keys, as a store from before sealing holds them (with its PIN
  // under PBKDF2).
  base.token_key_wrap = TokenKeyWrap{};
  base.user_pin.hash = HashPinPbkdf2(Bytes(kInitialUserPin), Len(kInitialUserPin));
  for (const Case &c : cases) {
    TokenState state = base;
    state.containers[0].present = true;
    state.containers[0].name = "SIG";
    state.containers[0].keys[1].private_key_der = Secret(der);
    if (c.offset != 0) state.containers[0].keys[1].private_key_der[c.offset] ^= 0x10;
    WriteFileBytes(StorePath(), Plain(SerializeStore(state, 100)));
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), c.expected) << c.what;
    if (c.expected == 0) DisconnectEkey(session);
  }
}

// FillDisk writes a file at `path` until the disk is full.
bool FillDisk(const std::string &path) {
  FILE *filler = std::fopen(path.c_str(), "wb");
  if (filler == nullptr) return false;
  static const char block[4096] = {};
  while (std::fwrite(block, 1, sizeof(block), filler) == sizeof(block)) {
  }
  const bool full = errno == ENOSPC;
  std::fclose(filler);
  return full;
}

// OnFullDisk runs in a child with a mount namespace of its own, whose
// token folder is on a small file system filled up after the token was
// set up. Returns 0, 77 when no file system can be mounted, or the number
// of the step that went wrong.
int OnFullDisk(const std::string &mount_point) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=256k") != 0) {
    return 77;
  }
  setenv(kTokenDirVariable, (mount_point + "/tokens").c_str(), 1);
  XcHandle session = 0, container = 0, file = 0;
  const uint8_t data[3000] = {1};
  if (FormatToken(kInitialAdminPin, kInitialAdminPin, 0) != 0 || ConnectEkey(0, &session) != 0 ||
      VerifyPin(session, Bytes(kInitialUserPin), 8, XC_PIN_USER) != 0 ||
      CreateContainer(session, "SIG", &container, XC_CONTAINER_CREATE) != 0 ||
      GenRSAKey(container, XC_KEY_SIGNATURE) != 0 ||
      CreateUserFile(session, 1, sizeof(data), XC_USER_FILE_CREATE, &file) != 0 ||
      WriteUserFile(file, data, sizeof(data)) != 0 || DisconnectEkey(session) != 0) {
    return 1;
  }
  if (!FillDisk(mount_point + "/filler")) return 2;
  const std::string store = mount_point + "/tokens/token-0.db";
  uint8_t block[20] = {1}, signature[128];
  uint32_t len = sizeof(signature);
  if (ConnectEkey(0, &session) != 0) return 3;
  if (VerifyPin(session, Bytes("00000000"), 8, XC_PIN_USER) != XCST_PIN_INCORRECT) return 4;
  if (VerifyPin(session, Bytes(kInitialUserPin), 8, XC_PIN_USER) != 0) return 5;
  if (SetCurContainer(session, XC_SLOT_SIGNATURE, &container) != 0 ||
      RSASign(container, block, sizeof(block), signature, &len, XC_KEY_SIGNATURE) != 0) {
    return 6;
  }
  if (CreateUserFile(session, 1, 0, XC_USER_FILE_OPEN, &file) != 0 || DeleteUserFile(file) != 0 ||
      DisconnectEkey(session) != 0) {
    return 7;
  }
  // A change that needs more room than the store had is refused whole.
  const std::vector<uint8_t> before = ReadFileBytes(store);
  static const uint8_t large[40000] = {2};
  if (ConnectEkey(0, &session) != 0 ||
      CreateUserFile(session, 2, sizeof(large), XC_USER_FILE_CREATE, &file) != 0 ||
      WriteUserFile(file, large, sizeof(large)) != 0) {
    return 8;
  }
  if (DisconnectEkey(session) != XCST_DISK_FULL) return 9;
  if (ReadFileBytes(store) != before) return 10;
  // The room given up for it is kept for the next change that fits.
  if (ConnectEkey(0, &session) != 0 ||
      VerifyPin(session, Bytes(kInitialUserPin), 8, XC_PIN_USER) != 0 ||
      DisconnectEkey(session) != 0) {
    return 11;
  }
  return 0;
}

// A full disk: the PIN checks, a signature and the removal of a file (the
// way to free room) still work, since each store they write is no larger
// than the last, for which the token keeps room aside; a change that needs
// more room says the disk is full.
TEST_F(StoreSafetyTest, AFullDiskStillTakesPinsSignaturesAndRemovals) {
  const std::string mount_point = dir_ + "/small";
  ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(OnFullDisk(mount_point));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "cannot mount a small file system here (needs root, or CAP_SYS_ADMIN in a "
                    "user namespace): the full-disk case is not tested";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "step that failed: 1 set-up, 2 filling the disk, 3 connect, 4 wrong PIN, 5 right PIN, "
         "6 signature, 7 file removal, 8 staging a large file, 9 its commit not XCST_DISK_FULL, "
         "10 the store changed, 11 a login after it";
}

}  // namespace
}  // namespace obkey::softtoken::testing

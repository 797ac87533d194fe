// obkeyctl's parts that decide what a user sees: the option parser, the
// status names, file writing, the configuration text and the diagnosis.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli.h"
#include "device_config.h"
#include "diagnose.h"
#include "enrollsim_status.h"
#include "p11token_status.h"
#include "registry.h"
#include "softtoken_status.h"
#include "system.h"
#include "temp_folder.h"
#include "token_test_env.h"

namespace obkeyctl {
namespace {

int NoRun(Context &, const Args &) {
  return 0;
}

const Command kCommand = {
    "key make", "NAME [FILE]", "type=sig|enc! force out= @pin", "a command for the parser",
    "",         NoRun};

// The message of the usage error ParseCommandArgs raises, or "" if none.
std::string UsageMessage(const std::vector<std::string> &args, Args *out_args = nullptr,
                         Settings *out_settings = nullptr) {
  Settings settings;
  try {
    Args parsed = ParseCommandArgs(kCommand, args, &settings);
    if (out_args != nullptr) *out_args = parsed;
    if (out_settings != nullptr) *out_settings = settings;
  } catch (const Stop &stop) {
    EXPECT_EQ(stop.exit_status, kExitUsage);
    return stop.message;
  }
  return "";
}

TEST(ObkeyctlParse, EachFaultIsNamed) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const Case cases[] = {
      {{"N"}, "`key make` needs --type sig|enc"},
      {{"--type", "sig"}, "`key make` needs NAME (usage: obkeyctl key make NAME [FILE]"},
      {{"N", "F", "X", "--type", "sig"}, "unexpected argument 'X': `key make` takes NAME [FILE]"},
      {{"N", "--type", "rsa"}, "--type rsa: not one of sig, enc"},
      {{"N", "--type="}, "--type '': not one of sig, enc"},
      {{"N", "--type"}, "option --type needs a value"},
      {{"N", "--type", "--force"}, "option --type needs a value"},
      {{"N", "--type", "sig", "--force=1"}, "option --force takes no value"},
      {{"N", "--type", "sig", "--type", "enc"}, "option --type is given twice"},
      {{"N", "--type", "sig", "--colour"},
       "unknown option --colour for `key make` (it takes "
       "--type, --force, --out, --pin, --pin-file, "
       "--pin-env, --pin-stdin)"},
      {{"N", "--type", "sig", "-f"}, "unknown option -f for `key make`"},
      {{"N", "--type", "sig", "--new-pin", "1"}, "unknown option --new-pin"},
      {{"N", "--type", "sig", "--quiet", "--quiet"}, "option --quiet is given twice"},
      {{"N", "--type", "sig", "--device", "x1"}, "--device x1: not a device number"},
  };
  for (const Case &c : cases) {
    std::string message = UsageMessage(c.args);
    EXPECT_NE(message.find(c.message), std::string::npos)
        << "wanted: " << c.message << "\ngot: " << message;
  }
}

TEST(ObkeyctlParse, AcceptedFormsGiveTheirValues) {
  Args args;
  Settings settings;
  ASSERT_EQ(UsageMessage({"--quiet", "N", "--type=enc", "-", "--out", "-", "--pin-file", "p",
                          "--device", "07", "--force"},
                         &args, &settings),
            "");
  EXPECT_EQ(args.count(), 2u);
  EXPECT_EQ(args.at(0), "N");
  EXPECT_EQ(args.at(1), "-");
  EXPECT_EQ(args.Get("type"), "enc");
  EXPECT_EQ(args.Get("out"), "-");
  EXPECT_EQ(args.Get("pin-file"), "p");
  EXPECT_TRUE(args.Has("force"));
  EXPECT_FALSE(args.Has("pin"));
  EXPECT_TRUE(settings.quiet);
  EXPECT_EQ(settings.device, "7");

  // After --, words that look like options are arguments.
  ASSERT_EQ(UsageMessage({"--type", "sig", "--", "--name", "-x"}, &args), "");
  EXPECT_EQ(args.at(0), "--name");
  EXPECT_EQ(args.at(1), "-x");
  // A value may start with a single dash.
  ASSERT_EQ(UsageMessage({"N", "--type", "sig", "--out", "-x"}, &args), "");
  EXPECT_EQ(args.Get("out"), "-x");
}

TEST(ObkeyctlParse, NumbersAreWholeDecimals) {
  const struct {
    const char *text;
    bool accepted;
    uint32_t value;
  } cases[] = {{"16", true, 16},         {"0", true, 0},   {"4294967295", true, 0xFFFFFFFFu},
               {"4294967296", false, 0}, {"-1", false, 0}, {"0x10", false, 0},
               {"", false, 0},           {"12a", false, 0}};
  for (const auto &c : cases) {
    Args args({}, {{"len", c.text}});
    try {
      EXPECT_EQ(args.Number("len", 99), c.value) << c.text;
      EXPECT_TRUE(c.accepted) << c.text;
    } catch (const Stop &stop) {
      EXPECT_FALSE(c.accepted) << c.text;
      EXPECT_NE(stop.message.find("not a number"), std::string::npos);
    }
  }
  EXPECT_EQ(Args().Number("len", 99), 99u);
}

TEST(ObkeyctlStatus, EveryStatusHasANameAndAText) {
  const struct {
    int32_t status;
    const char *label;
    int exit_status;
  } obkey_statuses[] = {
      {OB_E_ARGUMENT, "OB_E_ARGUMENT (-1): obkey refused the call", kExitFailed},
      {OB_E_KEY_IMPORT, "OB_E_KEY_IMPORT (1): the symmetric key record", kExitFailed},
      {OB_E_NO_SESSION, "OB_E_NO_SESSION (3): no token session", kExitUnreachable},
      {OBCERT_E_PROPERTY, "OBCERT_E_PROPERTY (9): unknown certificate property", kExitFailed},
      {OBCERT_E_NO_CERT, "OBCERT_E_NO_CERT (10): no certificate", kExitFailed},
      {OB_NTE_BAD_ALGID, "OB_NTE_BAD_ALGID (0x80090008): unknown algorithm", kExitFailed},
      {CIPHER_E_KEY, "CIPHER_E_KEY (0x86000010): a triple-DES key part", kExitFailed},
      {CIPHER_E_LENGTH, "CIPHER_E_LENGTH (0x86000013): ECB or CBC data", kExitFailed},
      {XCST_NO_TOKEN, "XCST_NO_TOKEN (0x58430003): no token store", kExitUnreachable},
      {XCST_TOKEN_BUSY, "XCST_TOKEN_BUSY (0x58430004): ", kExitUnreachable},
      {XCST_PIN_INCORRECT, "XCST_PIN_INCORRECT (0x5843000B): wrong user PIN", kExitPin},
      {XCST_PIN_LOCKED, "XCST_PIN_LOCKED (0x5843000C): ", kExitPin},
      {XCST_PIN_LENGTH, "XCST_PIN_LENGTH (0x5843000A): ", kExitPin},
      {XCST_ADMIN_PIN_INCORRECT, "XCST_ADMIN_PIN_INCORRECT (0x5843000E): ", kExitPin},
      {XCST_STORE_IO, "XCST_STORE_IO (0x58430007): ", kExitFailed},
      {VEST_BAD_PKCS7, "VEST_BAD_PKCS7 (0x56450006): not a PEM or base64", kExitFailed},
      {P11ST_MODULE_INIT, "P11ST_MODULE_INIT (0x50310003): the PKCS #11 module", kExitFailed},
      {0x50320005, "P11ST_CKR (0x50320005): ", kExitFailed},
      {0x12345678, "UNKNOWN (0x12345678): not a status of obkey or of the libraries shipped",
       kExitFailed},
      {-7, "UNKNOWN (0xFFFFFFF9): ", kExitFailed},
  };
  for (const auto &c : obkey_statuses) {
    EXPECT_EQ(StatusLabel(c.status).rfind(c.label, 0), 0u) << StatusLabel(c.status);
    EXPECT_EQ(ExitStatusFor(c.status), c.exit_status) << c.label;
  }
  EXPECT_EQ(ExitStatusFor(OB_OK), kExitOk);
  // Every token status is named as its constant, with its text.
#define CHECK_TOKEN_STATUS(name, value, text)                                                \
  EXPECT_EQ(StatusName(value), #name);                                                       \
  EXPECT_NE(StatusLabel(value).find(std::string("): ") + text), std::string::npos) << #name; \
  EXPECT_NE(ExitStatusFor(value), kExitOk) << #name;
  XCST_STATUS_LIST(CHECK_TOKEN_STATUS)
#undef CHECK_TOKEN_STATUS
}

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = obkey_test::MakeTempFolder("obkeyctl-unit");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { obkey_test::RemoveTree(dir_); }
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  static std::string Read(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  static void Write(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static int Mode(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
  }
  // The names in the folder, to see that no temporary file is left.
  std::string Listing() const {
    std::string command = "ls -A '" + dir_ + "' > '" + dir_ + ".ls'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::string listing = Read(dir_ + ".ls");
    unlink((dir_ + ".ls").c_str());
    return listing;
  }

  std::string dir_;
};

using ObkeyctlFiles = TempFolder;

TEST_F(ObkeyctlFiles, WritesReplaceWholeWithTheirModeAndNeverFollowALink) {
  std::string error;
  const struct {
    const char *name;
    int mode;
  } cases[] = {{"secret", 0600}, {"public", 0644}};
  for (const auto &c : cases) {
    ASSERT_TRUE(WriteFileAtomically(Path(c.name), reinterpret_cast<const uint8_t *>("abc"), 3,
                                    c.mode, &error))
        << error;
    EXPECT_EQ(Mode(Path(c.name)), c.mode);
    EXPECT_EQ(Read(Path(c.name)), "abc");
  }
  // A longer old file is replaced, not overwritten in part, and a file that
  // was readable by others becomes private.
  Write(Path("old"), "a much longer old content");
  chmod(Path("old").c_str(), 0644);
  ASSERT_TRUE(
      WriteFileAtomically(Path("old"), reinterpret_cast<const uint8_t *>("new"), 3, 0600, &error));
  EXPECT_EQ(Read(Path("old")), "new");
  EXPECT_EQ(Mode(Path("old")), 0600);

  Write(Path("victim"), "keep");
  ASSERT_EQ(symlink(Path("victim").c_str(), Path("link").c_str()), 0);
  ASSERT_TRUE(
      WriteFileAtomically(Path("link"), reinterpret_cast<const uint8_t *>("x"), 1, 0600, &error));
  EXPECT_EQ(Read(Path("victim")), "keep");
  EXPECT_EQ(Read(Path("link")), "x");
  struct stat info {};
  ASSERT_EQ(lstat(Path("link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(Listing(), "link\nold\npublic\nsecret\nvictim\n");

  // A missing folder fails with the system's reason and leaves nothing.
  EXPECT_FALSE(WriteFileAtomically(Path("none/file"), reinterpret_cast<const uint8_t *>("x"), 1,
                                   0644, &error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  EXPECT_NE(error.find(Path("none")), std::string::npos) << error;
}

TEST_F(ObkeyctlFiles, ConfigurationTextIsReadBackByObkey) {
  const char *values[] = {"XCSP_KEY_0", "XCSP_KEY_12", "with \"quotes\" and \\ back"};
  for (const char *value : values) {
    Write(Path("registry.reg"), RegistryFileText(value));
    setenv("OBKEY_REGISTRY", Path("registry.reg").c_str(), 1);
    std::string read;
    ASSERT_TRUE(
        obkey::platform::ReadMachineValue(obkey::kConfigKeyPath, obkey::kConfigValueName, &read));
    EXPECT_EQ(read, value);
  }
  for (int32_t device : {0, 5, 12, 2147483647}) {
    int32_t read = -1;
    ASSERT_TRUE(obkey::DeviceIndexFromValue(ConfigValueForDevice(device), &read));
    EXPECT_EQ(read, device);
  }
  unsetenv("OBKEY_REGISTRY");
}

class ObkeyctlDiagnosis : public TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    ASSERT_EQ(mkdir(Path("tokens").c_str(), 0700), 0);
    Write(Path("registry.reg"), obkey_test::RegistryText(obkey_test::DeviceValue(2)));
    setenv("OBKEY_REGISTRY", Path("registry.reg").c_str(), 1);
    setenv("XCSP_TOKEN_DIR", Path("tokens").c_str(), 1);
    unsetenv("XCSP_TOKEN_LOCK_TIMEOUT_MS");
  }
  void TearDown() override {
    unsetenv("OBKEY_REGISTRY");
    unsetenv("XCSP_TOKEN_DIR");
    TempFolder::TearDown();
  }
  std::string Causes() {
    std::string causes;
    for (const Finding &finding : DiagnoseReach(DescribeEnvironment(Settings()))) {
      causes += finding.cause + " / " + finding.fix + "\n";
    }
    return causes;
  }
  // A store header of the software token's layout: magic, version, length,
  // checksum (not checked here), then `body`.
  static std::string Store(uint32_t version, const std::string &body) {
    std::string store = "OBKEYTOK";
    for (int i = 0; i < 4; ++i) store.push_back(static_cast<char>(version >> (8 * i)));
    store.append(4, '\0');
    store.append(32, '\0');
    // From version 2 on the header ends with the generation.
    if (version >= 2) store.append(8, '\0');
    return store + body;
  }
};

TEST_F(ObkeyctlDiagnosis, NamesWhatStandsBetweenObkeyAndTheToken) {
  EXPECT_NE(Causes().find("there is no token store " + Path("tokens/token-2.db") +
                          ": device 2 was never formatted"),
            std::string::npos)
      << Causes();
  EXPECT_NE(Causes().find("obkeyctl format --device 2 --yes"), std::string::npos);

  Write(Path("tokens/token-2.db"), "not a store at all, but long enough to hold a header");
  EXPECT_NE(Causes().find("is damaged or not a token store"), std::string::npos) << Causes();
  Write(Path("tokens/token-2.db"), Store(5, std::string(200, '\0')));
  EXPECT_NE(Causes().find("has a format version this token library does not read"),
            std::string::npos)
      << Causes();
  for (uint32_t known : {1u, 2u, 3u, 4u}) {
    Write(Path("tokens/token-2.db"), Store(known, std::string(200, '\0')));
    EXPECT_EQ(Causes(), "") << known;
  }

  // A lock held by another opening of the lock file, as another process would.
  int holder = open(Path("tokens/token-2.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  EXPECT_EQ(LockHeldElsewhere(Path("tokens/token-2.lock")), 1);
  EXPECT_NE(Causes().find("another process holds the token's lock " + Path("tokens/token-2.lock") +
                          " (a session in progress, or a program "
                          "that hangs); the token gave up after "
                          "5000 ms"),
            std::string::npos)
      << Causes();
  close(holder);
  EXPECT_EQ(LockHeldElsewhere(Path("tokens/token-2.lock")), 0);
  EXPECT_EQ(LockHeldElsewhere(Path("tokens/none.lock")), 0);
  EXPECT_EQ(Causes(), "");

  ASSERT_EQ(rename(Path("tokens").c_str(), Path("elsewhere").c_str()), 0);
  EXPECT_NE(Causes().find("the token folder " + Path("tokens") +
                          " ($XCSP_TOKEN_DIR) does not exist: No such file or directory"),
            std::string::npos)
      << Causes();

  Write(Path("registry.reg"), "[HKEY_LOCAL_MACHINE\\SOFTWARE\\other]\n\"USBKEY\"=\"XCSP_KEY_2\"\n");
  EXPECT_NE(Causes().find("has no \"USBKEY\" value under "
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]"),
            std::string::npos)
      << Causes();
  unlink(Path("registry.reg").c_str());
  EXPECT_NE(Causes().find("the configuration file " + Path("registry.reg") +
                          " ($OBKEY_REGISTRY) does not exist"),
            std::string::npos)
      << Causes();
  // --device stands in for a missing configuration.
  Settings settings;
  settings.device = "4";
  Environment environment = DescribeEnvironment(settings);
  EXPECT_TRUE(environment.device_known);
  EXPECT_EQ(environment.device, 4);
  EXPECT_EQ(environment.store_path, Path("tokens/token-4.db"));
}

TEST_F(ObkeyctlDiagnosis, PinTriesAreReadFromAStoreOfTheKnownLayout) {
  const size_t tries_at = 16 + 2 * (16 + 32 + 4);
  std::string body(tries_at + 10, '\0');
  body[tries_at] = 7;
  Environment environment = DescribeEnvironment(Settings());
  EXPECT_EQ(PinTriesLeft(environment), -1);
  Write(Path("tokens/token-2.db"), Store(1, body));
  EXPECT_EQ(PinTriesLeft(environment), 7);
  for (uint32_t version : {2u, 3u}) {
    Write(Path("tokens/token-2.db"), Store(version, body));
    EXPECT_EQ(PinTriesLeft(environment), 7) << version;
  }
  // Version 4: the user PIN record starts with its derivation's kind.
  for (const auto &[kind, record] : {std::pair<char, size_t>{1, 52}, {2, 57}}) {
    std::string v4(16 + 52 + 1 + record + 10, '\0');
    v4[16 + 52] = kind;
    v4[16 + 52 + 1 + record] = 6;
    Write(Path("tokens/token-2.db"), Store(4, v4));
    EXPECT_EQ(PinTriesLeft(environment), 6) << "kind " << int{kind};
  }
  Write(Path("tokens/token-2.db"), Store(5, body));
  EXPECT_EQ(PinTriesLeft(environment), -1);
  Write(Path("tokens/token-2.db"), Store(1, body.substr(0, tries_at)));
  EXPECT_EQ(PinTriesLeft(environment), -1);
}

}  // namespace
}  // namespace obkeyctl

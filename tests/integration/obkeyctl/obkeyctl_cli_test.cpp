// obkeyctl as a user runs it: a fresh token folder and configuration per
// test, commands through the shell, results checked with openssl.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "obkeyctl_fixture.h"
#include "softhsm_tokens.h"

namespace obkeyctl_test {
namespace {

// Every refused command line: exit status 2 and a message naming the fault.
TEST_F(ObkeyctlTest, RefusedCommandLinesNameTheirFault) {
  struct Case {
    const char *args;
    const char *input;
    const char *message;
  };
  const Case cases[] = {
      {"frobnicate", "", "unknown command 'frobnicate'"},
      {"--frob status", "", "unknown global option --frob"},
      {"diagnose --frob", "", "unknown option --frob for `diagnose` (it takes no options)"},
      {"genkey X_SIG --bogus", "", "unknown option --bogus for `genkey` (it takes --type"},
      {"status -x", "", "unknown option -x for `status`"},
      {"status extra", "", "unexpected argument 'extra': `status` takes no arguments"},
      {"verify a b c", "", "unexpected argument 'c': `verify` takes FILE SIGNATURE"},
      {"sign", "", "`sign` needs FILE"},
      {"genkey X_SIG", "", "`genkey` needs --type sig|enc"},
      {"genkey X_SIG --type foo", "", "--type foo: not one of sig, enc"},
      {"genkey X_SIG --type", "", "option --type needs a value"},
      {"genkey X_SIG --type sig --force=yes", "", "option --force takes no value"},
      {"genkey PLAIN --type sig --pin-file pin", "", "needs a container name with SIG"},
      {"sign data --digest sha3", "",
       "--digest sha3: not one of sha1, sha224, sha256, sha384, "
       "sha512, none"},
      {"file ls --store abc", "", "--store abc: not one of 0, 1"},
      {"symkey encrypt k data --mode xyz", "", "--mode xyz: not one of cbc, ecb, ofb, cfb"},
      {"symkey gen --alg aes", "", "--alg aes: not one of 3des, rc4"},
      {"symkey gen --len 20", "", "--len 20: a triple-DES key is 16 or 24 bytes"},
      {"symkey gen --len x", "", "--len x: not a number"},
      {"export-pubkey 'A_SIG\\03' --outform txt", "", "--outform txt: not one of pem, der, blob"},
      {"cert export --type sig --outform blob", "", "--outform blob: not one of pem, der"},
      {"file get A --out x --out y", "", "option --out is given twice"},
      {"random 0", "", "random 0: give a byte count"},
      {"random -5", "", "unknown option -5"},
      {"--device x status", "", "--device x: not a device number"},
      {"status --device -1", "", "--device -1: not a device number"},
      {"login", "", "`login` needs the user PIN: give --pin-file FILE"},
      {"login --pin 1 --pin-env X", "", "give the user PIN one way only, not --pin and --pin-env"},
      {"login --pin-env OBKEYCTL_TEST_UNSET", "", "$OBKEYCTL_TEST_UNSET is not set"},
      {"login --pin-stdin", "", "the user PIN is empty"},
      {"sign - --pin-stdin", "1234\n", "standard input is read twice"},
      {"format", "", "off a terminal it needs --yes"},
      {"config init", "", "`config init` needs --device N"},
      {"enroll request --out r.pem", "", "`enroll request` needs --subject"},
  };
  for (const Case &c : cases) {
    ShellResult result = Run(c.args, c.input);
    EXPECT_EQ(result.exit_status, 2) << c.args << "\n" << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos)
        << c.args << "\nwanted: " << c.message << "\ngot: " << result.err;
    EXPECT_EQ(result.out, "") << c.args;
  }
  // Nothing was formatted by any of them.
  EXPECT_FALSE(IsRegularFile(dir_ + "/tokens/token-0.db"));
}

TEST_F(ObkeyctlTest, HelpVersionAndGroupWords) {
  ShellResult version = Run("--version");
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("obkeyctl ", 0), 0u) << version.out;

  ShellResult help = Run("--help");
  EXPECT_EQ(help.exit_status, 0);
  for (const char *part :
       {"Exit status: 0 done, 1", "4 the PIN was refused", "--pin-file", "(ps, /proc)",
        "openssl dgst -sha256 -verify", "--token-library " P11TOKEN_LIBRARY_PATH "\n",
        "export OBKEY_PKCS11_MODULE=", "OBKEY_PKCS11_INIT_ARGS"}) {
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  }
  // Every command's help has an example, and --help stands anywhere.
  for (const char *command :
       {"format",      "login",          "change-pin",     "status",         "create-container",
        "key-names",   "genkey",         "random",         "sign",           "verify",
        "encrypt",     "decrypt",        "export-pubkey",  "import-key",     "cert import",
        "cert export", "file put",       "file get",       "file rm",        "file ls",
        "symkey gen",  "symkey import",  "symkey export",  "symkey encrypt", "symkey decrypt",
        "digest",      "enroll request", "enroll install", "config init",    "config show"}) {
    ShellResult result = Run(std::string(command) + " --help");
    EXPECT_EQ(result.exit_status, 0) << command;
    EXPECT_NE(result.out.find("example"), std::string::npos) << command << result.out;
    EXPECT_NE(result.out.find(std::string("usage: obkeyctl ") + command), std::string::npos)
        << command;
  }
  ShellResult sign_help = Run("sign data --pin 1 --help");
  EXPECT_EQ(sign_help.exit_status, 0);
  EXPECT_NE(sign_help.out.find("ps"), std::string::npos) << "the --pin warning";

  ShellResult group = Run("file");
  EXPECT_EQ(group.exit_status, 2);
  EXPECT_NE(group.err.find("file put"), std::string::npos);
  EXPECT_EQ(Run("file --help").exit_status, 0);
  EXPECT_EQ(Run("").exit_status, 2);
}

TEST_F(ObkeyctlTest, FormatAsksOrNeedsYesAndFormatsTheNamedDevice) {
  ShellResult refused = Run("format --device 5");
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_NE(refused.err.find("device 5"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find(dir_ + "/tokens/token-5.db"), std::string::npos) << refused.err;
  EXPECT_FALSE(IsRegularFile(dir_ + "/tokens/token-5.db"));

  // The global option after the command, and before it.
  ShellResult formatted = Run("format --device 5 --yes");
  EXPECT_EQ(formatted.exit_status, 0) << formatted.err;
  EXPECT_TRUE(IsRegularFile(dir_ + "/tokens/token-5.db"));
  EXPECT_FALSE(IsRegularFile(dir_ + "/tokens/token-0.db"));
  EXPECT_EQ(Run("--device 3 format --yes").exit_status, 0);
  EXPECT_TRUE(IsRegularFile(dir_ + "/tokens/token-3.db"));
  EXPECT_FALSE(IsRegularFile(dir_ + "/tokens/token-0.db"));

  // Without --device, the configured device 0.
  FormatWithSignatureKey();
  EXPECT_TRUE(IsRegularFile(dir_ + "/tokens/token-0.db"));
  // Formatting device 5 again leaves device 0's key alone.
  EXPECT_EQ(Run("format --yes --device 5").exit_status, 0);
  ShellResult status = Run("status");
  EXPECT_NE(status.out.find("CLI_SIG"), std::string::npos) << status.out << status.err;
}

TEST_F(ObkeyctlTest, PinFromFileEnvironmentAndStandardInput) {
  Format();
  struct Case {
    std::string args;
    std::string input;
    int exit_status;
  };
  WriteText(dir_ + "/wrong", "87654321\r\n");
  const Case cases[] = {
      {"login --pin-file pin", "", 0},        {"login --pin-env OBKEYCTL_PIN", "", 0},
      {"login --pin-stdin", "12345678\n", 0}, {"login --pin-stdin", "12345678", 0},
      {"login --pin 12345678", "", 0},        {"login --pin-file wrong", "", 4},
      {"login --pin-stdin", "00000000\n", 4},
  };
  for (const Case &c : cases) {
    ShellResult result =
        RunShell(dir_, "export OBKEYCTL_PIN=12345678; " + Ctl() + " " + c.args, c.input);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.args << "\n" << result.err;
  }
  // Two wrong PINs so far: the token says how many tries are left.
  ShellResult wrong = Run("login --pin-file wrong");
  EXPECT_NE(wrong.err.find("XCST_PIN_INCORRECT (0x5843000B): wrong user PIN"), std::string::npos)
      << wrong.err;
  EXPECT_NE(wrong.err.find("7 tries left"), std::string::npos) << wrong.err;

  // change-pin: the current PIN, then the new one, both on standard input.
  ShellResult changed = Run("change-pin --pin-stdin --new-pin-stdin", "12345678\n24681357\n");
  EXPECT_EQ(changed.exit_status, 0) << changed.err;
  EXPECT_EQ(Run("login --pin-file pin").exit_status, 4);
  EXPECT_EQ(Run("login --pin-stdin", "24681357\n").exit_status, 0);
}

// A child on a pseudo-terminal, driven like a user at the keyboard.
class Terminal {
 public:
  Terminal(const std::string &folder, const std::vector<std::string> &env,
           const std::vector<std::string> &args) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (chdir(folder.c_str()) != 0) _exit(127);
      for (const std::string &setting : env) putenv(const_cast<char *>(setting.c_str()));
      std::vector<char *> argv;
      argv.push_back(const_cast<char *>(OBKEYCTL_PATH));
      for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
      argv.push_back(nullptr);
      execv(OBKEYCTL_PATH, argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (master_ >= 0) close(master_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // WaitFor reads what the terminal shows until `text` appears (5 s at most).
  bool WaitFor(const std::string &text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (shown_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome(100)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
      }
    }
    return true;
  }
  void Type(const std::string &text) {
    if (write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
  }
  // Finish reads to the end and returns the exit status.
  int Finish() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && ReadSome(100)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string &shown() const { return shown_; }

 private:
  // False at the end of the output.
  bool ReadSome(int timeout_ms) {
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) return true;
    char buffer[512];
    ssize_t got = read(master_, buffer, sizeof(buffer));
    if (got <= 0) return false;
    shown_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool reaped_ = false;
  std::string shown_;
};

TEST_F(ObkeyctlTest, PromptsOnATerminalWithoutEchoingThePin) {
  Format();
  std::vector<std::string> env = {"OBKEY_REGISTRY=" + dir_ + "/registry.reg",
                                  "XCSP_TOKEN_DIR=" + dir_ + "/tokens",
                                  "OBKEY_LOG=" + dir_ + "/xml816.log"};
  {
    Terminal terminal(dir_, env, {"login"});
    ASSERT_TRUE(terminal.WaitFor("User PIN: ")) << terminal.shown();
    terminal.Type("12345678\n");
    EXPECT_EQ(terminal.Finish(), 0) << terminal.shown();
    EXPECT_EQ(terminal.shown().find("12345678"), std::string::npos) << terminal.shown();
    EXPECT_NE(terminal.shown().find("login: ok"), std::string::npos) << terminal.shown();
  }
  {
    // A new PIN is asked twice; entries that differ change nothing.
    Terminal terminal(dir_, env, {"change-pin"});
    ASSERT_TRUE(terminal.WaitFor("Current PIN: ")) << terminal.shown();
    terminal.Type("12345678\n");
    ASSERT_TRUE(terminal.WaitFor("New PIN: ")) << terminal.shown();
    terminal.Type("11112222\n");
    ASSERT_TRUE(terminal.WaitFor("Repeat the new PIN: ")) << terminal.shown();
    terminal.Type("11113333\n");
    EXPECT_EQ(terminal.Finish(), 1) << terminal.shown();
    EXPECT_NE(terminal.shown().find("differ"), std::string::npos) << terminal.shown();
    EXPECT_EQ(terminal.shown().find("1111"), std::string::npos) << terminal.shown();
  }
  EXPECT_EQ(Run("login --pin-file pin").exit_status, 0);
  {
    // format asks for the device number on a terminal; a wrong answer stops it.
    Terminal terminal(dir_, env, {"format", "--device", "7"});
    ASSERT_TRUE(terminal.WaitFor("Type the device number (7)")) << terminal.shown();
    terminal.Type("0\n");
    EXPECT_EQ(terminal.Finish(), 1) << terminal.shown();
    EXPECT_FALSE(IsRegularFile(dir_ + "/tokens/token-7.db"));
  }
  {
    Terminal terminal(dir_, env, {"format", "--device", "7"});
    ASSERT_TRUE(terminal.WaitFor("Type the device number (7)")) << terminal.shown();
    terminal.Type("7\n");
    EXPECT_EQ(terminal.Finish(), 0) << terminal.shown();
    EXPECT_TRUE(IsRegularFile(dir_ + "/tokens/token-7.db"));
  }
}

TEST_F(ObkeyctlTest, SignaturesThroughPipesCheckWithOpenssl) {
  FormatWithSignatureKey();
  // The signature written raw to a pipe, the public key from a pipe.
  ShellResult verified = Shell(
      "$CTL sign - --pin-file pin < data | cat > data.sig && "
      "$CTL export-pubkey 'CLI_SIG\\03' | openssl dgst -sha256 -verify /dev/stdin -signature "
      "data.sig data");
  EXPECT_EQ(verified.exit_status, 0) << verified.err;
  EXPECT_NE(verified.out.find("Verified OK"), std::string::npos) << verified.out;
  EXPECT_EQ(ReadText(dir_ + "/data.sig").size(), 128u);

  // --out, and --out - with --hex.
  EXPECT_EQ(Run("sign data --pin-file pin --out file.sig").exit_status, 0);
  EXPECT_EQ(ReadText(dir_ + "/file.sig").size(), 128u);
  ShellResult hex = Run("sign data --pin-file pin --hex");
  EXPECT_EQ(hex.out.size(), 257u) << hex.out;
  EXPECT_EQ(Run("verify data file.sig").exit_status, 0);
  WriteText(dir_ + "/other", "another message\n");
  ShellResult mismatch = Run("verify other file.sig");
  EXPECT_EQ(mismatch.exit_status, 1);
  EXPECT_NE(mismatch.out.find("does NOT match"), std::string::npos);

  // Raw bytes through a pipe; the library's own lines never reach stdout.
  EXPECT_EQ(Shell("$CTL random 16 | wc -c").out, "16\n");
  ShellResult status = Run("status");
  EXPECT_EQ(status.out,
            "signature container (slot 0): CLI_SIG, signature key pair CLI_SIG\\03\n"
            "exchange container (slot 1): none\n");
  ShellResult digest = Shell("printf abc | $CTL digest --hex");
  EXPECT_EQ(digest.out, "a9993e364706816aba3e25717850c26c9cd0d89d\n");
}

TEST_F(ObkeyctlTest, KeysAndCertificatesInPemAndDerBothWays) {
  FormatWithSignatureKey();
  // Public key: PEM and DER describe the same key.
  EXPECT_EQ(Run("export-pubkey 'CLI_SIG\\03' --out sig.pem").exit_status, 0);
  EXPECT_EQ(Run("export-pubkey 'CLI_SIG\\03' --outform der --out sig.der").exit_status, 0);
  EXPECT_TRUE(
      ShellPasses("openssl pkey -pubin -inform DER -in sig.der -outform PEM | cmp - sig.pem"));
  EXPECT_EQ(Run("export-pubkey 'CLI_SIG\\03' --outform blob --out sig.blob").exit_status, 0);
  EXPECT_EQ(ReadText(dir_ + "/sig.blob").size(), 148u);

  // A private key imported as DER from standard input comes back as its
  // public half.
  ShellResult imported = Shell(
      "openssl genrsa -out enc.key 1024 2>/dev/null && $CTL create-container CLI_ENC && "
      "openssl pkey -in enc.key -outform DER | $CTL import-key - --type enc --inform der "
      "--pin-file pin");
  ASSERT_EQ(imported.exit_status, 0) << imported.err;
  // genkey does not replace the imported pair without --force.
  EXPECT_EQ(Run("genkey CLI_ENC --type enc --pin-file pin").exit_status, 1);
  EXPECT_TRUE(ShellPasses(
      "$CTL export-pubkey 'CLI_ENC\\01' --outform der | openssl pkey -pubin -inform DER "
      "-outform PEM > enc.pub && openssl pkey -in enc.key -pubout | cmp - enc.pub"));
  ShellResult wrong_form = Run("import-key enc.key --type enc --inform der --pin-file pin");
  EXPECT_EQ(wrong_form.exit_status, 1);
  EXPECT_NE(wrong_form.err.find("holds no private key in der form"), std::string::npos)
      << wrong_form.err;

  // A certificate in as DER through a pipe, out as PEM and as DER.
  ShellResult issued = Shell(
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 "
      "-subj /CN=ca 2>/dev/null && openssl x509 -new -subj /CN=signer -CA ca.crt -CAkey ca.key "
      "-force_pubkey sig.pem -days 2 -out signer.crt 2>/dev/null && "
      "openssl x509 -in signer.crt -outform DER | $CTL cert import - --type sig --inform der "
      "--pin-file pin");
  ASSERT_EQ(issued.exit_status, 0) << issued.err;
  ShellResult pem = Shell(
      "$CTL cert export --type sig --out back.pem && openssl x509 -in signer.crt | cmp - back.pem");
  EXPECT_EQ(pem.exit_status, 0) << pem.err << pem.out;
  ShellResult der = Shell(
      "$CTL cert export --type sig --outform der | cat > back.der && "
      "openssl x509 -in signer.crt -outform DER | cmp - back.der");
  EXPECT_EQ(der.exit_status, 0) << der.err << der.out;
  ShellResult pem_in = Run("cert import signer.crt --type sig --inform pem --pin-file pin");
  EXPECT_EQ(pem_in.exit_status, 0) << pem_in.err;
  ShellResult der_refused = Run("cert import signer.crt --type sig --inform der --pin-file pin");
  EXPECT_EQ(der_refused.exit_status, 1);
  EXPECT_NE(der_refused.err.find("holds no certificate in der form"), std::string::npos);

  // A request from the token's signature key, as DER, checks with openssl.
  EXPECT_TRUE(
      ShellPasses("$CTL enroll request --subject /CN=cli --outform der --pin-file pin | "
                  "openssl req -inform DER -verify -noout"));
}

TEST_F(ObkeyctlTest, SecretOutputsAreForTheUserAlone) {
  FormatWithSignatureKey();
  ASSERT_EQ(Run("genkey CLI_ENC --type enc --pin-file pin").exit_status, 0);
  // A file that was readable by others before stays no longer so.
  WriteText(dir_ + "/old.key", "previous");
  chmod((dir_ + "/old.key").c_str(), 0644);
  // A link planted at the output name is replaced, never followed.
  WriteText(dir_ + "/victim", "keep me");
  ASSERT_EQ(symlink((dir_ + "/victim").c_str(), (dir_ + "/planted.key").c_str()), 0);
  struct Case {
    std::string args;
    std::string file;
    int mode;
  };
  const Case cases[] = {
      {"symkey gen --out session.key", "session.key", 0600},
      {"symkey gen --out old.key", "old.key", 0600},
      {"symkey gen --alg rc4 --out planted.key", "planted.key", 0600},
      {"random 8 --out random.bin", "random.bin", 0600},
      {"symkey export session.key --out plain.blob", "plain.blob", 0600},
      {"symkey export session.key --wrap-token 'CLI_ENC\\01' --out wrapped.blob", "wrapped.blob",
       0644},
      {"export-pubkey 'CLI_ENC\\01' --out enc.pub", "enc.pub", 0644},
      {"config init --device 0 --file conf/registry.reg", "conf/registry.reg", 0644},
  };
  for (const Case &c : cases) {
    ShellResult result = Run(c.args);
    EXPECT_EQ(result.exit_status, 0) << c.args << "\n" << result.err;
    EXPECT_TRUE(IsRegularFile(dir_ + "/" + c.file)) << c.args;
    EXPECT_EQ(ModeOf(dir_ + "/" + c.file), c.mode) << c.args;
  }
  EXPECT_EQ(ReadText(dir_ + "/victim"), "keep me");
  // Unwrapped on the token, the key comes out as secret as it went in.
  ShellResult unwrapped = Shell(
      "tail -c 128 wrapped.blob > wrapped.bin && $CTL decrypt wrapped.bin --pin-file pin "
      "--out unwrapped.key && cmp session.key unwrapped.key");
  EXPECT_EQ(unwrapped.exit_status, 0) << unwrapped.err;
  EXPECT_EQ(ModeOf(dir_ + "/unwrapped.key"), 0600);
  EXPECT_TRUE(ShellPasses(
      "head -c 64 /dev/urandom > plain.bin && $CTL symkey encrypt session.key plain.bin --out "
      "c.bin && $CTL symkey decrypt session.key c.bin --out p.bin && cmp plain.bin p.bin"));
  EXPECT_EQ(ModeOf(dir_ + "/p.bin"), 0600);
  EXPECT_EQ(ModeOf(dir_ + "/c.bin"), 0644);
  EXPECT_EQ(ReadText(dir_ + "/conf/registry.reg"),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n"
            "\"USBKEY\"=\"XCSP_KEY_0\"\n");
}

TEST_F(ObkeyctlTest, DeviceOptionNeverFollowsALinkPlantedInTheTemporaryFolder) {
  Format();
  std::string tmp = dir_ + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0777), 0);
  WriteText(dir_ + "/victim", "keep me");
  // The shell's process id becomes obkeyctl's through exec, so the link sits
  // exactly where a predictable name would be.
  ShellResult result = Shell("export TMPDIR=" + ShellQuote(tmp) +
                                 "; ln -s ../victim \"$TMPDIR/obkeyctl-$$.reg\"; "
                                 "exec $CTL status --device 0",
                             "");
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(ReadText(dir_ + "/victim"), "keep me");
  // Only the planted link is left: the private folder went at exit.
  ShellResult left = RunShell(dir_, "ls -A tmp");
  EXPECT_EQ(left.out.find("obkeyctl-"), 0u) << left.out;
  EXPECT_EQ(left.out.find('\n'), left.out.size() - 1) << left.out;
  // --device reaches the library: device 9 has no token.
  ShellResult other = Run("status --device 9");
  EXPECT_EQ(other.exit_status, 3);
  EXPECT_NE(other.err.find("token-9.db"), std::string::npos) << other.err;
}

TEST_F(ObkeyctlTest, ArgumentStatusesAreExplained) {
  FormatWithSignatureKey();
  ShellResult setup = Shell(
      "openssl genrsa -out big.key 2048 2>/dev/null; head -c 300 /dev/urandom > long.bin; "
      "head -c 24 /dev/zero > zero.key; printf 0123456789abcdef01234567 > good.key; "
      "printf 'six by' > six.bin");
  ASSERT_EQ(setup.exit_status, 0);
  struct Case {
    const char *args;
    int exit_status;
    const char *status;
    const char *cause;
  };
  const Case cases[] = {
      {"create-container NOKEYWORD", 1, "OB_E_ARGUMENT (-1)", "holds neither SIG"},
      {"file put ABCDEFGHIJKLMNOPQRSTUVWXYZ data --pin-file pin", 1, "OB_E_ARGUMENT (-1)",
       "labels are at most 18"},
      {"file get NOTHERE", 1, "OB_E_ARGUMENT (-1)", "there is no label NOTHERE"},
      {"import-key big.key --type sig --force --pin-file pin", 1, "is a 2048-bit RSA key",
       "only 1024-bit RSA keys"},
      {"sign long.bin --digest none --pin-file pin", 1, "", "sha256, the default"},
      {"export-pubkey 'CLI_SIG\\09'", 1, "OB_E_ARGUMENT (-1)", "does not end in \\01"},
      {"symkey encrypt zero.key data", 1, "CIPHER_E_KEY (0x86000010)", "weak or semi-weak"},
      {"symkey encrypt good.key six.bin", 1, "CIPHER_E_LENGTH (0x86000013)", "multiple of 8 bytes"},
      {"genkey CLI_SIG --type sig --pin-file pin", 1, "", "add --force"},
  };
  for (const Case &c : cases) {
    ShellResult result = Run(c.args);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.args << "\n" << result.err;
    EXPECT_NE(result.err.find(c.status), std::string::npos) << c.args << "\n" << result.err;
    EXPECT_NE(result.err.find(c.cause), std::string::npos) << c.args << "\n" << result.err;
    EXPECT_NE(result.err.find("fix:"), std::string::npos) << c.args << "\n" << result.err;
  }
  ShellResult replaced = Run("genkey CLI_SIG --type sig --force --pin-file pin");
  EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
}

// The four reasons a session cannot be opened, each named with its fix.
TEST_F(ObkeyctlTest, NoSessionIsDiagnosed) {
  // A token folder the user cannot write, as nobody when the tests run as
  // root, since root writes anyway.
  const std::string as_user =
      getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const struct {
    const char *what;
    std::string before;  // a shell command that sets the scene
    std::string command;
    int exit_status;
    std::vector<std::string> says;
  } cases[] = {
      {"never formatted",
       "",
       "$CTL status",
       3,
       {"OB_E_NO_SESSION (3)", "device 0 was never formatted", "obkeyctl format --device 0 --yes"}},
      {"no configuration file",
       "$CTL format --yes",
       "$CTL status --registry missing.reg",
       3,
       {"the configuration file missing.reg (--registry) does not exist: No such file or "
        "directory",
        "obkeyctl config init --device 0"}},
      {"the lock held by another process",
       "",
       "flock -o tokens/token-0.lock $CTL status",
       3,
       {"another process holds the token's lock " + dir_ + "/tokens/token-0.lock",
        "waiting up to 300 ms"}},
      {"a token folder the user cannot write",
       "chmod 0755 . && chmod 0555 tokens && "
       "chmod 0644 registry.reg tokens/token-0.db tokens/token-0.lock",
       as_user + "$CTL status",
       3,
       {"the token folder " + dir_ + "/tokens is not writable: Permission denied"}},
      // A change is refused before the token would lose it.
      {"a change there", "", as_user + "$CTL create-container RO_SIG", 1, {"is not writable"}},
      {"a folder the user may write, with a lock file of someone else's",
       "chmod 0777 tokens && chmod 0666 tokens/token-0.db",
       as_user + "$CTL status",
       3,
       {"the token's lock file " + dir_ +
        "/tokens/token-0.lock cannot be opened for writing: Permission denied"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.before.empty()) {
      ASSERT_EQ(Shell(c.before + " >/dev/null").exit_status, 0);
    }
    ShellResult result = Shell(c.command);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
    for (const std::string &text : c.says) {
      EXPECT_NE(result.err.find(text), std::string::npos) << text << "\n" << result.err;
    }
  }
}

TEST_F(ObkeyctlTest, QuietSaysOnlyResultsAndVerboseEveryCall) {
  Format();
  ShellResult quiet = Run("--quiet login --pin-file pin");
  EXPECT_EQ(quiet.exit_status, 0);
  EXPECT_EQ(quiet.err, "");
  ShellResult plain = Run("login --pin-file pin");
  EXPECT_EQ(plain.err, "login: ok\n");
  // Errors still show with --quiet.
  EXPECT_NE(Run("login --pin-stdin --quiet", "0\n").err.find("XCST_PIN_INCORRECT"),
            std::string::npos);

  ShellResult verbose = Run("random 4 --hex --verbose");
  EXPECT_EQ(verbose.exit_status, 0);
  EXPECT_NE(verbose.err.find("obkeyctl: loaded "), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("obkeyctl: OB_GenRandom -> OK (0): done"), std::string::npos)
      << verbose.err;
  EXPECT_EQ(verbose.out.size(), 9u);
  // The library's own lines of OB_DisabelPVK show in --verbose, on stderr.
  ShellResult status = Run("status --verbose");
  EXPECT_NE(status.err.find("hContainer 0 ="), std::string::npos) << status.err;
  EXPECT_EQ(status.out.find("hContainer"), std::string::npos) << status.out;
}

TEST_F(ObkeyctlTest, ConfigInitAndShowSayWhereEachSettingComesFrom) {
  ShellResult init = Run("config init --device 4 --file fresh.reg");
  EXPECT_EQ(init.exit_status, 0) << init.err;
  EXPECT_NE(init.err.find("export OBKEY_REGISTRY=fresh.reg"), std::string::npos) << init.err;
  ShellResult show = Run("config show --registry fresh.reg --token-dir tokens");
  EXPECT_EQ(show.exit_status, 0) << show.err;
  for (const char *line :
       {"configuration fresh.reg  (--registry)", "USBKEY        \"XCSP_KEY_4\"  (configuration)",
        "device        4  (the configuration)", "token folder  tokens  (--token-dir)",
        "token store   tokens/token-4.db  (missing: the token was never formatted)"}) {
    EXPECT_NE(show.out.find(line), std::string::npos) << line << "\n" << show.out;
  }
  ShellResult overridden = Run("config show --device 2");
  EXPECT_NE(overridden.out.find("device        2  (--device)"), std::string::npos)
      << overridden.out;
  EXPECT_NE(overridden.out.find("($OBKEY_REGISTRY)"), std::string::npos) << overridden.out;
  // init replaces an existing file whole.
  EXPECT_EQ(Run("config init --device 11 --file fresh.reg").exit_status, 0);
  EXPECT_NE(ReadText(dir_ + "/fresh.reg").find("\"XCSP_KEY_11\""), std::string::npos);
  EXPECT_EQ(ReadText(dir_ + "/fresh.reg").find("XCSP_KEY_4"), std::string::npos);
}

// obkeyctl over p11token and a SoftHSMv2 store of the test's own. The store's
// settings are process-wide variables: dropped again at the end.
class Pkcs11Test : public ObkeyctlTest {
 protected:
  void TearDown() override {
    for (const char *name : {"SOFTHSM2_CONF", "OBKEY_PKCS11_MODULE", "OBKEY_PKCS11_LOCK_DIR"}) {
      unsetenv(name);
    }
    ObkeyctlTest::TearDown();
  }
  // p11token's token library, in the build tree beside obkeyctl's folder.
  static std::string TokenLibrary() {
    std::string bin = OBKEYCTL_PATH;
    std::string build = bin.substr(0, bin.rfind('/', bin.rfind('/') - 1));
    return build + "/p11token/libxcsp_eclib.so";
  }
  ShellResult RunPkcs11(const std::string &settings, const std::string &args,
                        const std::string &input = "") {
    return RunShell(dir_,
                    Env() + settings + " " + OBKEYCTL_PATH + " --token-library " +
                        ShellQuote(TokenLibrary()) + " " + args,
                    input);
  }
};

// Each way the module can fail names its cause (the loader's message or the
// CKR name) and a fix that fits a module, in a failing command, in diagnose
// and before a format; never the software token's folder.
TEST_F(Pkcs11Test, FailuresNameTheModulesRefusalAndItsFix) {
  obkey_test::SoftHsmTokens tokens(1);
  ASSERT_TRUE(tokens.ok());
  // libc's own file, a library with no C_GetFunctionList (looked up in
  // libc itself: a sanitizer's interceptors put &strlen in the test program).
  void *libc_handle = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libc_handle, nullptr);
  Dl_info libc{};
  ASSERT_NE(dladdr(dlsym(libc_handle, "getpid"), &libc), 0);
  dlclose(libc_handle);
  WriteText(dir_ + "/junk.so", "not a library\n");
  const std::string junk = dir_ + "/junk.so";
  const struct {
    std::string settings, cause, fix;
  } cases[] = {
      {"unset OBKEY_PKCS11_MODULE;", "no PKCS #11 module is configured",
       "export OBKEY_PKCS11_MODULE="},
      {"OBKEY_PKCS11_MODULE=" + dir_ + "/none.so", "cannot be loaded: " + dir_ + "/none.so",
       "ldd " + dir_ + "/none.so"},
      {"OBKEY_PKCS11_MODULE=" + junk, "cannot be loaded: " + junk, "built for this machine"},
      {"OBKEY_PKCS11_MODULE=" + std::string(libc.dli_fname),
       "is no PKCS #11 module: " + std::string(libc.dli_fname) + ": no C_GetFunctionList",
       "exports C_GetFunctionList"},
      {"OBKEY_PKCS11_INIT_ARGS=bogus", "C_Initialize returned CKR_ARGUMENTS_BAD",
       "correct the initialisation arguments that $OBKEY_PKCS11_INIT_ARGS gives it"},
      {"OBKEY_PKCS11_LOCK_DIR=" + dir_ + "/gone",
       "cannot make " + dir_ + "/gone/obkey-p11-libsofthsm2_so_", "OBKEY_PKCS11_LOCK_DIR="},
      {"OBKEY_PKCS11_MODULE=$(find /usr/lib -name p11-kit-client.so -path '*pkcs11*' | head -n1) "
       "P11_KIT_SERVER_ADDRESS=unix:path=" +
           dir_ + "/no-server",
       "lists 0 slot(s) with a token, too few for device 0", "the p11-kit server"},
  };
  for (const auto &c : cases) {
    ShellResult login = RunPkcs11(c.settings, "login --pin-file pin");
    ShellResult diagnose = RunPkcs11(c.settings, "diagnose");
    // A token that cannot be named is not formatted blind.
    ShellResult format = RunPkcs11(c.settings, "format --yes");
    EXPECT_EQ(login.exit_status, 3) << c.settings << "\n" << login.err;
    EXPECT_EQ(diagnose.exit_status, 1) << c.settings << "\n" << diagnose.out;
    EXPECT_EQ(format.exit_status, 3) << c.settings << "\n" << format.err;
    EXPECT_EQ(format.err.find("formatting"), std::string::npos) << c.settings << format.err;
    for (const std::string &text : {login.err, diagnose.out, format.err}) {
      EXPECT_NE(text.find(c.cause), std::string::npos) << c.settings << "\n" << text;
      EXPECT_NE(text.find(c.fix), std::string::npos) << c.settings << "\n" << text;
      EXPECT_EQ(text.find("token folder"), std::string::npos) << c.settings << "\n" << text;
    }
  }
}

// config show, diagnose, list and the format prompt name the module and the
// token it reaches, not the software token's store; a wrong PIN gets advice
// for a module.
TEST_F(Pkcs11Test, ShowDiagnoseAndFormatNameTheRealToken) {
  obkey_test::SoftHsmTokens tokens(1);
  ASSERT_TRUE(tokens.ok());
  const std::string module = obkey_test::SoftHsmTokens::ModulePath();
  const std::string token = "the token \"token-0\" (serial ";
  ShellResult show = RunPkcs11("", "config show");
  EXPECT_EQ(show.exit_status, 0) << show.err;
  for (const std::string &line : {"token library " + TokenLibrary() + "  (--token-library)",
                                  "PKCS11 module " + module + "  ($OBKEY_PKCS11_MODULE)",
                                  std::string("init args     not set"),
                                  std::string("C_Initialize  CKR_OK"), "token         " + token}) {
    EXPECT_NE(show.out.find(line), std::string::npos) << line << "\n" << show.out;
  }
  EXPECT_EQ(show.out.find("token folder"), std::string::npos) << show.out;
  ShellResult diagnose = RunPkcs11("", "diagnose");
  EXPECT_EQ(diagnose.exit_status, 0) << diagnose.out;
  ShellResult format = RunPkcs11("", "format --yes");
  EXPECT_EQ(format.exit_status, 0) << format.err;
  EXPECT_NE(format.err.find("formatting device 0, " + token), std::string::npos) << format.err;
  EXPECT_NE(format.err.find("of the PKCS #11 module " + module), std::string::npos) << format.err;
  EXPECT_EQ(format.err.find("software token store"), std::string::npos) << format.err;
  ShellResult list = RunPkcs11("", "list");
  EXPECT_NE(list.out.find("device          0 (the configuration), " + token), std::string::npos)
      << list.out << list.err;
  // A wrong PIN: the module's counter, if any, not the software token's.
  ShellResult wrong = RunPkcs11("", "login --pin-stdin", "87654321\n");
  EXPECT_EQ(wrong.exit_status, 4) << wrong.err;
  EXPECT_NE(wrong.err.find("a token with a retry counter of its own"), std::string::npos)
      << wrong.err;
  EXPECT_EQ(wrong.err.find("only formatting"), std::string::npos) << wrong.err;
}

// What a module other than SoftHSMv2 refuses reaches the user by its name,
// with a fix for that module: each case a test shim that acts the module
// out over the test's SoftHSMv2 store (device 1 is its free slot).
TEST_F(Pkcs11Test, AModulesRefusalIsNamedWithAFixThatFitsIt) {
  obkey_test::SoftHsmTokens tokens(1);
  ASSERT_TRUE(tokens.ok());
  ASSERT_EQ(RunPkcs11("", "format --yes").exit_status, 0);
  const std::string bin = OBKEYCTL_PATH;
  const std::string shims = bin.substr(0, bin.rfind('/', bin.rfind('/') - 1)) + "/tests/p11shim/";
  auto shim = [&](const char *profile) {
    return "OBKEY_PKCS11_MODULE=" + shims + "libobkey_shim_" + profile + ".so";
  };
  WriteText(dir_ + "/so.pin", std::string(obkey_test::kSoftHsmSoPin) + "\n");
  const struct {
    std::string settings, args, input;
    int exit_status;
    std::vector<std::string> said;
  } cases[] = {
      {shim("init_ignored"),
       "format --yes --device 1",
       "",
       1,
       {"P11ST_INIT_IGNORED", "answered C_InitToken with CKR_OK but left the token in slot",
        "with that module's own tool"}},
      {shim("keyring"),
       "format --yes --device 1",
       "",
       1,
       {"returned CKR_FUNCTION_NOT_SUPPORTED", "does not initialise tokens",
        "with that module's own tool"}},
      {shim("keyring"),
       "genkey KEY_SIG --type sig --pin-file pin",
       "",
       1,
       {"lacks the mechanism CKM_RSA_PKCS_KEY_PAIR_GEN", "obkeyctl import-key"}},
      {shim("short_pins"),
       "format --yes",
       "",
       4,
       {"takes SO PINs of 4 to 8 characters", "ZARQU.1974 (10 characters) cannot be",
        "--so-pin-file FILE"}},
      {"", "format --yes --so-pin-stdin", "ZARQU.1974\n", 0, {"the user PIN is now 12345678"}},
      {"", "format --yes --so-pin-file so.pin", "", 0, {"the user PIN is now 12345678"}},
      {"",
       "format --yes --so-pin-stdin",
       "WRONG.1974\n",
       4,
       {"the token refused the SO PIN given"}},
      {shim("no_data"),
       "file put NOTE data --pin-file pin",
       "",
       1,
       {"P11ST_DATA_REFUSED", "refused to create obkey's data object: CKR_ATTRIBUTE_VALUE_INVALID",
        "keeps no data objects that obkey can use"}},
      {shim("private_data"),
       "create-container PRIV_SIG",
       "",
       2,
       {"keeps obkey's objects private", "--pin-file FILE"}},
      {shim("private_data"), "create-container PRIV_SIG --pin-file pin", "", 0, {}},
      {shim("private_data"), "status --pin-file pin", "", 0, {}},
  };
  for (const auto &c : cases) {
    ShellResult result = RunPkcs11(c.settings, c.args, c.input);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.args << "\n" << result.err;
    for (const std::string &text : c.said) {
      EXPECT_NE(result.err.find(text), std::string::npos) << c.args << "\n" << result.err;
    }
    // The software token's file space is not a PKCS #11 token's.
    EXPECT_EQ(result.err.find("64 KiB"), std::string::npos) << c.args << "\n" << result.err;
  }
  EXPECT_NE(RunPkcs11(shim("private_data"), "status --pin-file pin").out.find("PRIV_SIG"),
            std::string::npos);
  // A module configured while obkey loads the software token's library.
  ShellResult other_library = Run("login --pin-file pin");
  EXPECT_EQ(other_library.exit_status, 3) << other_library.err;
  EXPECT_NE(other_library.err.find("which is not p11token and does not use it"), std::string::npos)
      << other_library.err;
}

}  // namespace
}  // namespace obkeyctl_test

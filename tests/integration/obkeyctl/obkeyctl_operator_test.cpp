// obkeyctl over an operator's day: changes that would not hold are refused,
// signatures of any digest and any size, the inventory, backup and restore,
// and documents that name every option.
#include <sys/resource.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "obkeyctl_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OBKEYCTL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OBKEYCTL_SANITIZED 1
#endif
#endif

namespace obkeyctl_test {
namespace {

// The largest resident size of any finished child so far, in KiB.
long ChildrenPeakKib() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

// RequiredWords is a synopsis without its optional parts (in brackets) or
// the manual page's font changes, its words one space apart.
std::string RequiredWords(const std::string &synopsis) {
  std::string words;
  int depth = 0;
  for (size_t i = 0; i < synopsis.size(); ++i) {
    char c = synopsis[i];
    if (c == '\\' && i + 2 < synopsis.size() && synopsis[i + 1] == 'f') {
      i += 2;
    } else if (c == '[' || c == ']') {
      depth += c == '[' ? 1 : -1;
    } else if (depth == 0 && !(c == ' ' && (words.empty() || words.back() == ' '))) {
      words.push_back(c);
    }
  }
  while (!words.empty() && words.back() == ' ') words.pop_back();
  return words;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class OperatorTest : public ObkeyctlTest {
 protected:
  // A signature pair with its certificate from a throwaway authority, an
  // exchange container without a pair, and certificates of other keys.
  void IssueCertificates() {
    FormatWithSignatureKey();
    ShellResult made = Shell(
        "$CTL export-pubkey 'CLI_SIG\\03' --out sig.pem && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 "
        "-subj /CN=ca 2>/dev/null && "
        "openssl genrsa -out other.key 1024 2>/dev/null && "
        "for name in signer:sig.pem again:sig.pem other:other.key; do "
        "  cn=${name%%:*}; key=${name#*:}; "
        "  if [ $key = other.key ]; then openssl pkey -in other.key -pubout -out other.pem; "
        "key=other.pem; fi; "
        "  openssl x509 -new -subj /CN=$cn -CA ca.crt -CAkey ca.key -force_pubkey $key -days 2 "
        "-out $cn.crt 2>/dev/null || exit 1; "
        "done && $CTL cert import signer.crt --type sig --pin-file pin && "
        "$CTL create-container CLI_ENC");
    ASSERT_EQ(made.exit_status, 0) << made.err;
  }
};

// Each of these once reported success while the token did not hold what
// was asked, or replaced something silently; now each is refused with its
// reason and leaves the token as it was.
TEST_F(OperatorTest, ChangesThatWouldNotHoldAreRefusedAndChangeNothing) {
  IssueCertificates();
  WriteText(dir_ + "/big", std::string(100 * 1000, 'x'));
  const std::string before = Run("list").out;
  struct Case {
    const char *args;
    const char *cause;
  };
  const Case cases[] = {
      {"import-key other.key --type sig --pin-file pin", "already has a signature key pair"},
      {"cert import other.crt --type sig --pin-file pin",
       "is not that of the signature key pair in CLI_SIG"},
      {"cert import again.crt --type sig --pin-file pin",
       "the signature container already holds a certificate (subject CN = signer"},
      {"cert import signer.crt --type enc --pin-file pin", "there is no exchange key pair"},
      {"export-pubkey 'NOSUCH\\03'", "there is no container NOSUCH on the token"},
      {"file rm NOPE --pin-file pin", "there is no label NOPE on the token"},
      {"file put BIG big --pin-file pin", "big is 100000 bytes; the token keeps at most 65536"},
  };
  for (const Case &c : cases) {
    ShellResult result = Run(c.args);
    EXPECT_EQ(result.exit_status, 1) << c.args << "\n" << result.err;
    EXPECT_NE(result.err.find(c.cause), std::string::npos) << c.args << "\n" << result.err;
    EXPECT_EQ(result.out, "") << c.args;
  }
  EXPECT_EQ(Run("list").out, before);
  // A certificate of another key is refused without a hint to force it in.
  EXPECT_EQ(Run("cert import other.crt --type sig --pin-file pin").err.find("--force"),
            std::string::npos);

  // Commands that need no PIN take the PIN options that scripts pass to
  // every command, and leave them unread.
  for (const char *args : {"create-container CLI_ENC --pin-file pin", "status --pin-stdin",
                           "random 4 --hex --pin 12345678", "file ls --pin-env NOT_SET"}) {
    ShellResult result = Run(args);
    EXPECT_EQ(result.exit_status, 0) << args << "\n" << result.err;
  }

  // With --force the replacements go through; an empty file is a file.
  WriteText(dir_ + "/empty", "");
  for (const char *args : {"cert import again.crt --type sig --force --pin-file pin",
                           "import-key other.key --type sig --force --pin-file pin",
                           "file put EMPTY empty --pin-file pin"}) {
    ShellResult result = Run(args);
    EXPECT_EQ(result.exit_status, 0) << args << "\n" << result.err;
  }
  EXPECT_NE(Run("list").out.find("subject CN = again"), std::string::npos);
  ShellResult empty = Run("file get EMPTY --out got");
  EXPECT_EQ(empty.exit_status, 0) << empty.err;
  EXPECT_EQ(ReadText(dir_ + "/got"), "");
}

TEST_F(OperatorTest, EnrollInstallReadsBothCertificatesBack) {
  IssueCertificates();
  ShellResult made = Shell(
      "$CTL genkey CLI_ENC --type enc --pin-file pin && "
      "$CTL export-pubkey 'CLI_ENC\\01' --out enc.pem && "
      "openssl x509 -new -subj /CN=enc -CA ca.crt -CAkey ca.key -force_pubkey enc.pem -days 2 "
      "-out enc.crt 2>/dev/null && "
      "openssl x509 -new -subj /CN=issued -CA ca.crt -CAkey ca.key -force_pubkey sig.pem "
      "-days 2 -out issued.crt 2>/dev/null && "
      "openssl crl2pkcs7 -nocrl -certfile issued.crt -certfile ca.crt -out issued.p7b && "
      "r=$(printf x | base64) && e=$(openssl x509 -in enc.crt -outform DER | base64 -w0) && "
      "printf '<root><certKmcReq1>%s</certKmcReq1><certKmcReq2>%s</certKmcReq2>"
      "<certKmcReq3>%s</certKmcReq3><certKmcRep1>%s</certKmcRep1><certKmcRep2>%s</certKmcRep2>"
      "<certKmcRep3>%s</certKmcRep3></root>' $r $r $r $e $r $r > answer.xml");
  ASSERT_EQ(made.exit_status, 0) << made.err;
  // A certificate where the bundle belongs: the old certificate stays.
  ShellResult wrong = Run("enroll install answer.xml --pkcs7 issued.crt --pin-file pin");
  EXPECT_EQ(wrong.exit_status, 1) << wrong.err;
  EXPECT_NE(wrong.err.find("the signature certificate was not installed"), std::string::npos)
      << wrong.err;
  ShellResult right = Run("enroll install answer.xml --pkcs7 issued.p7b --pin-file pin");
  EXPECT_EQ(right.exit_status, 0) << right.err;
  EXPECT_TRUE(
      ShellPasses("$CTL cert export --type sig | cmp - issued.crt && "
                  "$CTL cert export --type enc | cmp - enc.crt"));
}

TEST_F(OperatorTest, SignsEveryDigestThatOpensslChecks) {
  FormatWithSignatureKey();
  ASSERT_EQ(Run("export-pubkey 'CLI_SIG\\03' --out sig.pem").exit_status, 0);
  for (const char *digest : {"sha1", "sha224", "sha256", "sha384", "sha512"}) {
    const std::string d = digest;
    ShellResult signed_ = Run("sign data --digest " + d + " --pin-file pin --out data.sig");
    EXPECT_EQ(signed_.exit_status, 0) << d << signed_.err;
    EXPECT_NE(signed_.err.find("wrote data.sig (128 bytes)"), std::string::npos) << signed_.err;
    ShellResult checked =
        Shell("openssl dgst -" + d + " -verify sig.pem -signature data.sig data && " +
              "$CTL verify data data.sig --digest " + d);
    EXPECT_EQ(checked.exit_status, 0) << d << checked.err << checked.out;
    // The digest is part of what is signed, and a mismatch names the one
    // the signature holds.
    const std::string asked = d == "sha1" ? "sha256" : "sha1";
    ShellResult other = Run("verify data data.sig --digest " + asked);
    EXPECT_EQ(other.exit_status, 1) << d;
    EXPECT_NE(other.err.find("the signature holds the " + d + " digest of data"), std::string::npos)
        << other.err;
    EXPECT_NE(other.err.find("--digest " + d), std::string::npos) << other.err;
  }
  // SHA-256 unless asked otherwise, and verify says that it trusts the
  // public key the token stores.
  ShellResult plain = Shell(
      "$CTL sign data --pin-file pin --out plain.sig && "
      "openssl dgst -sha256 -verify sig.pem -signature plain.sig data && $CTL verify data "
      "plain.sig");
  EXPECT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_NE(plain.out.find("verify: signature matches (sha256)"), std::string::npos) << plain.out;
  EXPECT_NE(plain.err.find("the public key stored on the token alone"), std::string::npos)
      << plain.err;
  ShellResult quiet = Run("sign data --quiet --pin-file pin --out q.sig");
  EXPECT_EQ(quiet.err, "");
}

// Many files are signed at one login, each signature into FILE.sig, and
// openssl checks every one; a file that cannot be read stops the batch
// before the PIN is spent.
TEST_F(OperatorTest, SignsManyFilesAtOneLogin) {
  FormatWithSignatureKey();
  ASSERT_EQ(Run("export-pubkey 'CLI_SIG\\03' --out sig.pem").exit_status, 0);
  std::string files;
  for (int i = 0; i < 6; ++i) {
    WriteText(dir_ + "/doc" + std::to_string(i), "document " + std::to_string(i) + "\n");
    files += " doc" + std::to_string(i);
  }
  ShellResult signed_ = Run("sign" + files + " --pin-file pin --verbose");
  ASSERT_EQ(signed_.exit_status, 0) << signed_.err;
  auto count = [&](const std::string &text) {
    size_t n = 0;
    for (size_t at = 0; (at = signed_.err.find(text, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  EXPECT_EQ(count("OBCA_Login ->"), 1u) << signed_.err;
  EXPECT_EQ(count("OB_AsymmetricSignData -> OK"), 6u) << signed_.err;
  EXPECT_TRUE(ShellPasses("for f in" + files +
                          "; do openssl dgst -sha256 -verify sig.pem -signature $f.sig $f || exit "
                          "1; done"));

  ShellResult missing = Run("sign doc0 nothing doc1 --pin-file pin --verbose");
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.err.find("cannot read nothing"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("OBCA_Login"), std::string::npos) << missing.err;
  EXPECT_EQ(Run("sign doc0 doc1 --out both.sig --pin-file pin").exit_status, 2);
}

// A file far larger than the memory obkeyctl may use is signed in a pass.
TEST_F(OperatorTest, SignsALargeFileInFlatMemory) {
#if defined(OBKEYCTL_SANITIZED)
  const long kPeakKib = 128 * 1024;  // the sanitizer's own shadow and quarantine
#else
  const long kPeakKib = 16 * 1024;
#endif
  FormatWithSignatureKey();
  ASSERT_EQ(Run("export-pubkey 'CLI_SIG\\03' --out sig.pem").exit_status, 0);
  ASSERT_EQ(RunShell(dir_, "truncate -s 512M large").exit_status, 0);
  ASSERT_LT(ChildrenPeakKib(), kPeakKib);
  ShellResult signed_ = Run("sign large --digest sha256 --pin-file pin --out large.sig");
  EXPECT_EQ(signed_.exit_status, 0) << signed_.err;
  EXPECT_LT(ChildrenPeakKib(), kPeakKib);
  EXPECT_TRUE(ShellPasses("openssl dgst -sha256 -verify sig.pem -signature large.sig large"));
}

TEST_F(OperatorTest, BackupAndRestoreBringTheTokenBack) {
  FormatWithSignatureKey();
  ASSERT_TRUE(
      ShellPasses("$CTL export-pubkey 'CLI_SIG\\03' --out sig.pem && "
                  "$CTL file put NOTES data --pin-file pin && "
                  "$CTL sign data --pin-file pin --out before.sig"));
  ShellResult backup = Run("backup --out token.bak");
  ASSERT_EQ(backup.exit_status, 0) << backup.err;
  EXPECT_EQ(ModeOf(dir_ + "/token.bak"), 0600);
  EXPECT_EQ(ReadText(dir_ + "/token.bak"), ReadText(dir_ + "/tokens/token-0.db"));

  // Not while a session holds the token, nor without confirmation.
  ShellResult locked = Shell("flock -o tokens/token-0.lock $CTL backup --out locked.bak");
  EXPECT_EQ(locked.exit_status, 1);
  EXPECT_NE(locked.err.find("another process holds it"), std::string::npos) << locked.err;
  EXPECT_FALSE(IsRegularFile(dir_ + "/locked.bak"));
  Format();
  const struct {
    const char *args;
    int exit_status;
  } refused[] = {
      {"restore token.bak", 2}, {"restore data --yes", 1}, {"export-pubkey 'CLI_SIG\\03'", 1}};
  for (const auto &r : refused) EXPECT_EQ(Run(r.args).exit_status, r.exit_status) << r.args;

  ShellResult restored = Run("restore token.bak --yes");
  ASSERT_EQ(restored.exit_status, 0) << restored.err;
  EXPECT_EQ(ModeOf(dir_ + "/tokens/token-0.db"), 0600);
  EXPECT_TRUE(
      ShellPasses("$CTL sign data --pin-file pin --out after.sig && "
                  "openssl dgst -sha256 -verify sig.pem -signature after.sig data && "
                  "$CTL verify data before.sig && $CTL file get NOTES | cmp - data"));
}

// A restore reads and checks the whole backup before it replaces anything,
// and replaces the store only as the token commits (a new file renamed over
// whatever is at the name); a backup reads the store only as a regular file.
TEST_F(OperatorTest, RestoreChecksTheWholeBackupAndReplacesTheStoreByRename) {
  FormatWithSignatureKey();
  ASSERT_EQ(Run("backup --out token.bak").exit_status, 0);
  struct Case {
    const char *what;
    const char *prepare;  // run before the command (a FIFO's writer in the background)
    const char *command;
    int exit_status;
    bool restores;  // else the store stays byte for byte
  };
  const Case cases[] = {
      {"a damaged backup",
       "cp token.bak bad.bak && printf x | dd of=bad.bak bs=1 seek=300 conv=notrunc 2>/dev/null",
       "restore bad.bak --yes", 1, false},
      {"a truncated backup through a FIFO",
       "mkfifo cut.bak && { (exec >/dev/null 2>&1; head -c 200 token.bak >cut.bak) & }",
       "restore cut.bak --yes", 1, false},
      {"a backup through a FIFO",
       "mkfifo whole.bak && { (exec >/dev/null 2>&1; cat token.bak >whole.bak) & }",
       "restore whole.bak --yes", 0, true},
      {"a FIFO at the store's name", "rm tokens/token-0.db && mkfifo tokens/token-0.db",
       "restore token.bak --yes", 0, true},
      {"a backup of a linked store",
       "mv tokens/token-0.db real.db && ln -s ../real.db tokens/token-0.db",
       "backup --out linked.bak", 1, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Format();
    ASSERT_TRUE(ShellPasses(c.prepare));
    // (A FIFO at the store's name is not read: that would wait for a writer.)
    const std::string before = c.restores ? "" : ReadText(dir_ + "/tokens/token-0.db");
    ShellResult result = Shell(std::string("timeout 20 $CTL ") + c.command);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
    if (c.restores) {
      EXPECT_TRUE(IsRegularFile(dir_ + "/tokens/token-0.db"));
      EXPECT_TRUE(ShellPasses("$CTL sign data --pin-file pin --out restored.sig"));
    } else {
      EXPECT_TRUE(ReadText(dir_ + "/tokens/token-0.db") == before) << "the store changed";
    }
    ASSERT_TRUE(ShellPasses("rm -f tokens/token-0.db && cp token.bak tokens/token-0.db"));
  }
  EXPECT_FALSE(IsRegularFile(dir_ + "/linked.bak"));
}

// Each mishap an operator meets is named by the status the call returned,
// the command that was run, its real cause and a fix that works, with the
// exit status of its kind; diagnose sees the lasting ones and exits 1.
TEST_F(OperatorTest, MishapsNameTheirStatusCauseAndFix) {
  // A private mount of a 64 KiB disk over the token folder, holding the
  // store and a file that fills the rest.
  const std::string full_disk =
      std::string(getuid() == 0 ? "unshare -m" : "unshare -r -m") +
      " sh -c 'cp -a tokens saved && mount -t tmpfs -o size=64k,mode=0700 tmpfs tokens && "
      "cp -a saved/. tokens/ && (dd if=/dev/zero of=tokens/filler bs=1k count=100 2>/dev/null "
      "|| true) && \"$@\"' sh $CTL";
  const std::string flip =
      "python3 -c \"import sys; p='tokens/token-0.db'; "
      "b=bytearray(open(p,'rb').read()); b[int(sys.argv[1])]^=1; "
      "open(p,'wb').write(b)\" ";
  struct Case {
    const char *what;
    std::string before;   // sets the scene (shell)
    std::string command;  // the command the user runs (shell, $CTL is obkeyctl)
    int exit_status;
    std::vector<std::string> says;  // in this order
    std::vector<std::string> not_said;
  };
  const std::string store = dir_ + "/tokens/token-0.db";
  std::vector<Case> cases;
  for (const char *offset : {"40", "100", "1000"}) {
    cases.push_back(
        {"a store damaged at its byte",
         flip + offset,
         "$CTL sign data --pin-file pin --out data.sig",
         3,
         {"sign: failed, OB_E_NO_SESSION (3)", "cause: the token store " + store + " is damaged",
          "XCST_STORE_CORRUPT (0x58430005)", "obkeyctl restore BACKUP", "obkeyctl format"},
         {"sees nothing wrong", "plugged in"}});
  }
  cases.push_back({"diagnose of a damaged store",
                   flip + "1000",
                   "$CTL diagnose",
                   1,
                   {"problem: the token store " + store + " is damaged", "obkeyctl restore BACKUP",
                    "obkeyctl format"},
                   {"sees nothing wrong"}});
  // Larger than the room the token keeps for its next commit, which a
  // change that adds little fits in.
  cases.push_back({"a full disk",
                   "head -c 20000 /dev/zero > large; true",
                   full_disk + " file put NOTES large --pin-file pin",
                   1,
                   {"file put NOTES: failed, XCST_DISK_FULL",
                    "cause: the disk that holds the token folder " + dir_ + "/tokens is full",
                    "needs at least ", " bytes for it", "df -h " + dir_ + "/tokens"},
                   {"sees nothing wrong", "plugged in"}});
  cases.push_back({"diagnose of a full disk",
                   "",
                   full_disk + " diagnose",
                   1,
                   {"problem: the disk that holds the token folder " + dir_ + "/tokens is full"},
                   {"sees nothing wrong"}});
  const std::string wrong_pins =
      "for i in 1 2 3 4 5 6 7 8 9; do $CTL login --pin 00000000 2>/dev/null; done; ";
  cases.push_back(
      {"the last try",
       "for i in 1 2 3 4 5 6 7 8; do $CTL login --pin 00000000 2>/dev/null; done; true",
       "$CTL sign data --pin 00000000",
       4,
       {"sign: failed, XCST_PIN_INCORRECT (0x5843000B)", "; 1 try left", "obkeyctl restore BACKUP"},
       {"login: failed", "1 tries"}});
  cases.push_back({"a locked PIN",
                   wrong_pins + "$CTL login --pin 00000000; true",
                   "$CTL sign data --pin-file pin",
                   4,
                   {"sign: failed, XCST_PIN_LOCKED (0x5843000C)", "the user PIN is locked",
                    "obkeyctl restore BACKUP", "obkeyctl format"},
                   {"login: failed"}});
  cases.push_back({"diagnose of a locked PIN",
                   wrong_pins + "$CTL login --pin 00000000; true",
                   "$CTL diagnose",
                   1,
                   {"problem: the user PIN is locked", "obkeyctl restore BACKUP"},
                   {}});
  cases.push_back({"a PIN derivation cost no store may carry",
                   "",
                   "XCSP_TOKEN_SCRYPT_LOG2N=18 $CTL format --yes",
                   1,
                   {"format device 0: failed, XCST_BAD_SETTING", "nothing was written",
                    "a number from 10 to 17"},
                   {}});
  cases.push_back({"a full file space",
                   "head -c 60000 /dev/zero > big && head -c 10000 "
                   "/dev/zero > more && $CTL file put BIG big --pin-file pin",
                   "$CTL file put MORE more --pin-file pin",
                   1,
                   {"file put MORE: failed, XCST_FILE_SPACE_FULL (0x58430020)",
                    "no room for 10000 more bytes", "take 60000 bytes", "obkeyctl file rm"},
                   {"XCST_FILE_NOT_FOUND"}});
  cases.push_back({"a full label directory",
                   "for i in 0 1 2 3 4 5 6 7 8 9; do $CTL file put L$i data --pin-file pin || "
                   "exit 1; done",
                   "$CTL file put ELEVENTH data --pin-file pin",
                   1,
                   {"file put ELEVENTH: the label directory is full", "obkeyctl file rm"},
                   {"OB_E_ARGUMENT"}});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FormatWithSignatureKey();
    if (!c.before.empty()) {
      ASSERT_EQ(Shell(c.before + " >/dev/null").exit_status, 0);
    }
    ShellResult result = Shell(c.command);
    const std::string said = result.err + result.out;
    EXPECT_EQ(result.exit_status, c.exit_status) << said;
    size_t at = 0;
    for (const std::string &text : c.says) {
      size_t found = said.find(text, at);
      EXPECT_NE(found, std::string::npos) << text << "\n" << said;
      if (found != std::string::npos) at = found + text.size();
    }
    for (const std::string &text : c.not_said) {
      EXPECT_EQ(said.find(text), std::string::npos) << text << "\n" << said;
    }
    RunShell(dir_, "rm -f tokens/token-0.db");
  }
}

// Keys as certificate authorities and tools hand them out: each form is
// imported (and the token then holds that key, and a PKCS #12 file's
// certificate beside it), and each refusal names the file's form.
TEST_F(OperatorTest, ImportsKeysInEveryFormAndNamesTheFormItRefuses) {
  FormatWithSignatureKey();
  ShellResult made = Shell(
      "openssl genrsa -out key.pem 1024 2>/dev/null && openssl genrsa -out other.pem 1024 "
      "2>/dev/null && openssl pkey -in key.pem -pubout -outform DER -out key.pub && "
      "openssl rsa -in key.pem -traditional -out pkcs1.pem 2>/dev/null && "
      "openssl rsa -in key.pem -traditional -outform DER -out pkcs1.der 2>/dev/null && "
      "openssl pkcs8 -topk8 -nocrypt -in key.pem -outform DER -out pkcs8.der && "
      "openssl rsa -in key.pem -traditional -aes256 -passout pass:s3cret -out enc1.pem "
      "2>/dev/null && "
      "openssl pkcs8 -topk8 -in key.pem -v2 aes256 -passout pass:s3cret -out enc8.pem && "
      "openssl pkcs8 -topk8 -in key.pem -v2 aes256 -passout pass:s3cret -outform DER "
      "-out enc8.der && "
      "openssl req -new -x509 -key key.pem -subj /CN=bundled -days 2 -out cert.pem && "
      "openssl pkcs12 -export -inkey key.pem -in cert.pem -passout pass:s3cret -out bundle.p12 && "
      "openssl pkcs12 -export -inkey key.pem -in cert.pem -passout pass: -out open.p12 && "
      "openssl ecparam -genkey -name prime256v1 -out ec.pem && "
      "openssl genrsa -out big.pem 2048 2>/dev/null && printf 's3cret\\n' > pass && "
      "printf 'wrong\\n' > wrong");
  ASSERT_EQ(made.exit_status, 0) << made.err;
  struct Case {
    std::string args;  // after import-key
    std::string input;
    int exit_status;
    std::string says;
  };
  const Case cases[] = {
      {"key.pem", "", 0, "from PEM (PKCS #8)"},
      {"pkcs1.pem", "", 0, "from PEM (PKCS #1)"},
      {"pkcs1.der", "", 0, "from DER (PKCS #1)"},
      {"pkcs8.der --inform der", "", 0, "from DER (PKCS #8)"},
      {"enc1.pem --pass-file pass", "", 0, "from encrypted PEM (PKCS #1)"},
      {"enc8.pem --pass-stdin", "s3cret\n", 0, "from encrypted PEM (PKCS #8)"},
      {"enc8.der --pass-file pass", "", 0, "from encrypted DER (PKCS #8)"},
      {"bundle.p12 --pass-file pass", "", 0, "from PKCS #12, with its certificate (CN = bundled)"},
      {"open.p12", "", 0, "from PKCS #12, with its certificate (CN = bundled)"},
      {"enc8.pem", "", 1, "enc8.pem is encrypted PEM (PKCS #8) and needs its password"},
      {"bundle.p12", "", 1, "bundle.p12 is PKCS #12 and needs its password"},
      {"bundle.p12 --pass-file wrong", "", 1, "the password does not open bundle.p12 (PKCS #12)"},
      {"enc1.pem --pass-file wrong", "", 1,
       "the password does not open enc1.pem (encrypted PEM (PKCS #1))"},
      {"cert.pem", "", 1, "cert.pem holds no private key (read as PEM without a private key)"},
      {"ec.pem", "", 1, "the PEM key in ec.pem is an EC key"},
      {"big.pem", "", 1, "the PEM (PKCS #8) key in big.pem is a 2048-bit RSA key"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    ASSERT_EQ(Run("import-key other.pem --type sig --force --pin-file pin").exit_status, 0);
    ShellResult result =
        Shell("$CTL import-key " + c.args + " --type sig --force --pin-file pin", c.input);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    // The key the token holds is the file's, or still the one before.
    EXPECT_EQ(
        Shell("$CTL export-pubkey 'CLI_SIG\\03' --outform der | cmp -s - key.pub").exit_status,
        c.exit_status == 0 ? 0 : 1);
  }
  EXPECT_TRUE(
      ShellPasses("$CTL cert export --type sig | openssl x509 -noout -subject | grep -q bundled"));
}

// A FIFO planted at the store or the lock file is refused at once, by the
// library and by obkeyctl's own reads of the token's files.
TEST_F(OperatorTest, AFifoAtATokenFileIsRefusedAtOnce) {
  FormatWithSignatureKey();
  for (const char *name : {"token-0.db", "token-0.lock"}) {
    SCOPED_TRACE(name);
    ShellResult planted =
        Shell(std::string("mv tokens/") + name + " saved && mkfifo tokens/" + name +
              " && for c in status list diagnose 'backup --out b.bak' 'sign data --pin-file pin'; "
              "do timeout 10 $CTL $c >/dev/null 2>&1; r=$?; "
              "if [ $r -eq 124 ] || [ $r -eq 0 ]; then echo \"$c: exit $r\"; exit 1; fi; done; "
              "rm tokens/" +
              name + " && mv saved tokens/" + name);
    EXPECT_EQ(planted.exit_status, 0) << planted.out << planted.err;
  }
}

TEST_F(OperatorTest, ListShowsKeysCertificatesFilesAndTries) {
  IssueCertificates();
  ASSERT_EQ(Run("file put NOTES data --pin-file pin").exit_status, 0);
  ASSERT_EQ(Run("login --pin 00000000").exit_status, 4);
  ShellResult fingerprint =
      Shell("openssl pkey -pubin -in sig.pem -outform DER | sha256sum | cut -c1-64");
  ShellResult list = Run("list");
  EXPECT_EQ(list.exit_status, 0) << list.err;
  for (const std::string &line : std::vector<std::string>{
           "user PIN        9 tries left",
           "signature container (slot 0): CLI_SIG",
           "  key pair     CLI_SIG\\03  RSA 1024  SHA256:" + fingerprint.out.substr(0, 64),
           "  certificate  subject CN = signer",
           "               issuer  CN = ca",
           ", matches the key pair",
           "exchange container (slot 1): CLI_ENC",
           "  key pair     none",
           "  certificate  none",
           "files           1 of 10 labels",
           "  NOTES              36 bytes",
           "token library   ",
       }) {
    EXPECT_NE(list.out.find(line), std::string::npos) << line << "\n" << list.out;
  }
  // A certificate of another key is flagged.
  ASSERT_EQ(Run("cert import other.crt --type sig --force --pin-file pin").exit_status, 0);
  EXPECT_NE(Run("list").out.find("does NOT match the key pair"), std::string::npos);
}

TEST_F(OperatorTest, DiagnosisNamesASharedFolderAndTheLogSize) {
  FormatWithSignatureKey();
  ShellResult shown = Run("config show");
  const std::string log_size = std::to_string(ReadText(dir_ + "/xml816.log").size());
  EXPECT_NE(shown.out.find("xml816.log  ($OBKEY_LOG, " + log_size + " bytes)"), std::string::npos)
      << shown.out;
  // A folder others may write: the token refuses it, obkeyctl says so.
  ASSERT_EQ(chmod((dir_ + "/tokens").c_str(), 0777), 0);
  ShellResult status = Run("status");
  EXPECT_EQ(status.exit_status, 3);
  EXPECT_NE(status.err.find("is writable by group or others"), std::string::npos) << status.err;
  ShellResult diagnosed = Run("diagnose");
  EXPECT_EQ(diagnosed.exit_status, 1);
  EXPECT_NE(diagnosed.out.find("fix:   chmod go-w " + dir_ + "/tokens"), std::string::npos)
      << diagnosed.out;
  ASSERT_EQ(chmod((dir_ + "/tokens").c_str(), 0700), 0);
  EXPECT_EQ(Run("diagnose").exit_status, 0);
}

// The options each command accepts (as its parser tells them) are each in
// its --help with a description and in its entry of the manual page.
TEST_F(OperatorTest, EveryAcceptedOptionIsDocumented) {
  std::string man = ReadText(OBKEYCTL_MAN_PAGE);
  ASSERT_FALSE(man.empty());
  for (size_t at = 0; (at = man.find("\\-", at)) != std::string::npos;) man.replace(at, 2, "-");
  auto section = [&](const std::string &name) {
    size_t start = man.find("\n.SH " + name + "\n");
    size_t end = man.find("\n.SH ", start + 1);
    return start == std::string::npos ? std::string() : man.substr(start, end - start);
  };
  const std::string commands = section("COMMANDS"), pins = section("PINS");
  const std::string globals = section("GLOBAL OPTIONS"), environment = section("ENVIRONMENT");
  const std::string help = Run("--help").out;
  for (const char *option : {"--library", "--token-library", "--registry", "--device",
                             "--token-dir", "--log", "--quiet", "--verbose", "--version"}) {
    EXPECT_NE(globals.find(option), std::string::npos) << option;
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  for (const char *variable : {"OBKEY_LIBRARY", "OBKEY_REGISTRY", "XCSP_TOKEN_DIR", "OBKEY_LOG",
                               "OBKEY_PKCS11_MODULE", "OBKEY_NO_MESSAGE_BOX"}) {
    EXPECT_NE(environment.find(variable), std::string::npos) << variable;
  }

  size_t checked = 0;
  const std::vector<std::string> help_lines = Lines(help);
  for (size_t i = 0; i < help_lines.size(); ++i) {
    if (help_lines[i] != "Commands:") continue;
    for (++i; i < help_lines.size() && help_lines[i].rfind("  ", 0) == 0; ++i) {
      // The command's words are the lower-case ones before its arguments.
      std::istringstream words_in(help_lines[i].substr(2, 28));
      std::string word, words;
      while (words_in >> word &&
             word.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos) {
        words += (words.empty() ? "" : " ") + word;
      }
      ShellResult refused = Run(words + " --not-an-option");
      size_t takes = refused.err.find("(it takes ");
      ASSERT_NE(takes, std::string::npos) << words << "\n" << refused.err;
      std::string accepted =
          refused.err.substr(takes + 10, refused.err.find(')', takes) - takes - 10);
      size_t entry_at = commands.find("\n.B " + words);
      ASSERT_NE(entry_at, std::string::npos) << words << " has no entry in the manual page";
      std::string entry = commands.substr(entry_at, commands.find("\n.TP", entry_at) - entry_at);
      const std::string command_help = Run(words + " --help").out;
      // What a command cannot go without reads the same in its usage line
      // and in its synopsis in the manual page.
      EXPECT_EQ(RequiredWords(command_help.substr(0, command_help.find('\n'))),
                "usage: obkeyctl " + RequiredWords(entry.substr(4, entry.find('\n', 1) - 4)))
          << words;
      std::istringstream options_in(accepted == "no options" ? "" : accepted);
      for (std::string option; std::getline(options_in >> std::ws, option, ',');) {
        bool pin = option.rfind("--pin", 0) == 0 || option.rfind("--new-pin", 0) == 0;
        EXPECT_NE((pin ? pins : entry).find(option), std::string::npos)
            << words << " " << option << " is not in the manual page";
        if (pin) {
          EXPECT_NE(entry.find("PIN option"), std::string::npos) << words;
        }
        bool described = false;
        for (const std::string &line : Lines(command_help)) {
          if (line.rfind("  " + option + " ", 0) == 0 && line.size() > 29 &&
              line.find_first_not_of(' ', 29) != std::string::npos) {
            described = true;
          }
        }
        EXPECT_TRUE(described) << words << " " << option << " has no text in --help";
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 60u);
}

}  // namespace
}  // namespace obkeyctl_test

// What the token holds, in one listing, and the software token's store
// copied out and back.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "certificates.h"
#include "cli.h"
#include "diagnose.h"
#include "obkey_types.h"
#include "pkcs11_view.h"
#include "secret_array.h"
#include "softtoken_os.h"
#include "softtoken_status.h"
#include "store_format.h"
#include "store_restore.h"
#include "system.h"
#include "token_view.h"

namespace obkeyctl {
namespace {

constexpr uint32_t kFileCapacity = 64 * 1024;
constexpr unsigned kDefaultLockWaitMs = 5000;

std::string Getenv(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Whether the token in use is the software token, whose store obkeyctl can
// read: not p11token (UsesPkcs11).
bool SoftwareTokenInUse(const Context &context) {
  return !UsesPkcs11(context.settings);
}

std::string TokenLibraryLine(const Context &context) {
  std::string loaded = LoadedLibraryPath("xcsp_eclib");
  std::string line = loaded.empty() ? "xcsp_eclib (where the loader found it)" : loaded;
  if (!context.settings.token_library.empty()) line += " (--token-library)";
  std::string module = Getenv("OBKEY_PKCS11_MODULE");
  if (!module.empty()) line += ", PKCS #11 module " + module + " ($OBKEY_PKCS11_MODULE)";
  return line;
}

void ListSlot(Context &context, const Slot &slot, const std::string &container) {
  std::printf("%s container (slot %d): %s\n", slot.role, slot.index,
              container.empty() ? "none" : container.c_str());
  std::vector<uint8_t> blob, key, der;
  if (!container.empty() && PublicKeyBlob(context, container + slot.suffix, &blob)) {
    key = BlobPublicKey(blob);
    std::printf("  key pair     %s%s  RSA 1024  %s\n", container.c_str(), slot.suffix,
                KeyFingerprint(key).c_str());
  } else if (!container.empty()) {
    std::printf("  key pair     none\n");
  }
  if (!CertificateOf(context, slot.key_type, &der)) {
    std::printf("  certificate  none\n");
    return;
  }
  CertificateFacts facts;
  if (!DescribeCertificate(der, &facts)) {
    std::printf("  certificate  %s bytes that do not parse as a certificate\n",
                std::to_string(der.size()).c_str());
    return;
  }
  const char *match = key.empty()               ? "no key pair to match"
                      : facts.public_key == key ? "matches the key pair"
                                                : "does NOT match the key pair";
  std::printf("  certificate  subject %s\n", facts.subject.c_str());
  std::printf("               issuer  %s\n", facts.issuer.c_str());
  std::printf("               expires %s, %s\n", facts.not_after.c_str(), match);
}

int ListCommand(Context &context, const Args &args) {
  Environment environment = DescribeEnvironment(context.settings);
  context.api();
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  std::string names[2];
  ContainerNames(context, names);
  std::string obkey = LoadedLibraryPath(HasRegistry() ? "obkey" : "libobkey.so");
  std::printf("obkey library   %s\n", (obkey.empty() ? context.library_loaded() : obkey).c_str());
  std::printf("token library   %s\n", TokenLibraryLine(context).c_str());
  if (environment.device_known) {
    std::string where = SoftwareTokenInUse(context) ? "store " + environment.store_path
                                                    : Pkcs11Target(ProbeToken(environment));
    std::printf("device          %d (%s), %s\n", environment.device,
                environment.device_from.c_str(), where.c_str());
  }
  int tries = SoftwareTokenInUse(context) ? PinTriesLeft(environment) : -1;
  std::printf("user PIN        %s\n", tries >= 0
                                          ? (std::to_string(tries) + " tries left").c_str()
                                          : "tries left unknown (the token library does not tell)");
  for (int i = 0; i < 2; ++i) ListSlot(context, Slots()[i], names[i]);
  auto export_file = Require(context.api().export_file, "OBCA_ExportFile");
  std::vector<std::string> labels = Labels(context);
  std::printf("files           %s of %u labels\n", std::to_string(labels.size()).c_str(),
              OB_LABEL_COUNT);
  std::vector<uint8_t> data(kFileCapacity);
  for (const std::string &label : labels) {
    uint32_t len = static_cast<uint32_t>(data.size());
    int32_t status = context.Call("OBCA_ExportFile", [&] {
      return export_file(label.c_str(), OB_STORE_LABELS, data.data(), &len);
    });
    std::string size = status == OB_OK ? std::to_string(len) + " bytes" : StatusLabel(status);
    std::printf("  %-18s %s\n", label.c_str(), size.c_str());
  }
  return kExitOk;
}

// The software token's store and its lock, or a stop naming what is missing.
Environment TokenFiles(Context &context, const char *what) {
  Environment environment = DescribeEnvironment(context.settings);
  if (!environment.device_known) {
    throw Stop{kExitUsage, std::string(what) + ": which device? give --device N",
               DiagnoseReach(environment)};
  }
  if (!SoftwareTokenInUse(context)) {
    UsageError(std::string(what) +
               " copies the software token's store; a hardware or PKCS #11 "
               "token keeps its keys itself");
  }
  return environment;
}

unsigned LockWaitMs() {
  std::string wait = Getenv("XCSP_TOKEN_LOCK_TIMEOUT_MS");
  return wait.empty() ? kDefaultLockWaitMs
                      : static_cast<unsigned>(std::strtoul(wait.c_str(), nullptr, 10));
}

// Takes the token's lock as a session does, so that the store is neither
// half written nor changed while it is copied.
void LockToken(const Environment &environment, const char *what, TokenFileLock *lock) {
  std::string error;
  if (!lock->Acquire(environment.lock_path, LockWaitMs(), &error)) {
    Failure(std::string(what) + ": cannot take the token's lock " + environment.lock_path + ": " +
                (error == "busy" ? "another process holds it" : error),
            {{"a session is in progress, or a program that hangs keeps the token",
              "let it finish and try again"}});
  }
}

// CopyFault says why the token would not read a store copy.
std::string CopyFault(int32_t status) {
  return StatusName(status) + ", " + StatusText(status);
}

int BackupCommand(Context &context, const Args &args) {
  Environment environment = TokenFiles(context, "backup");
  const std::string out = args.Get("out");
  if (out == "-") UsageError("backup: --out needs a file (the copy holds the sealed keys)");
  TokenFileLock lock;
  LockToken(environment, "backup", &lock);
  // Read as the token reads its store: one opening, never through a link,
  // and only a regular file.
  obkey::softtoken::os::ReadOnlyFile file;
  obkey::SecretBytes store;
  if (file.Open(environment.store_path) != obkey::softtoken::os::ReadStatus::kOk ||
      file.ReadAll(obkey::softtoken::kMaxStoreSize, &store) !=
          obkey::softtoken::os::ReadStatus::kOk) {
    Failure("backup: cannot read the token store " + environment.store_path +
                " (missing, unreadable, over 1 MiB, or a link, a FIFO or a device); nothing was "
                "written",
            DiagnoseReach(environment));
  }
  if (int32_t fault = obkey::softtoken::CheckStoreCopy(store.data(), store.size())) {
    Failure("backup: the token store " + environment.store_path + " would not restore (" +
            CopyFault(fault) + "); nothing was written");
  }
  WriteOutput(out, store.data(), store.size(), true);
  return context.Done("backup of device " + std::to_string(environment.device));
}

// ReadBackup reads a backup whole (a file or a FIFO; "-" standard input),
// refusing one larger than any store the token reads.
obkey::SecretBytes ReadBackup(const std::string &from) {
  if (from == "-") return ReadSecretInput(from);
  std::FILE *file = std::fopen(from.c_str(), "rb");
  if (file == nullptr) Failure("restore: cannot read " + from + ": " + SystemErrorText());
  std::setvbuf(file, nullptr, _IONBF, 0);
  obkey::SecretBytes backup;
  obkey::SecretArray<4096> chunk;
  size_t got = 0;
  while (backup.size() <= obkey::softtoken::kMaxStoreSize &&
         (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
    backup.insert(backup.end(), chunk.data(), chunk.data() + got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) Failure("restore: cannot read " + from + "; nothing was changed");
  return backup;
}

int RestoreCommand(Context &context, const Args &args) {
  Environment environment = TokenFiles(context, "restore");
  const std::string from = args.at(0);
  // The whole backup is read and checked as a connect checks a store before
  // anything is asked or replaced.
  const obkey::SecretBytes store = ReadBackup(from);
  if (int32_t fault = obkey::softtoken::CheckStoreCopy(store.data(), store.size())) {
    Failure("restore: " + from + " is not a sound token backup (" + CopyFault(fault) +
                "); nothing was changed",
            {{"a backup is a whole store as backup wrote it", "give a file made by backup"}});
  }
  const std::string device = std::to_string(environment.device);
  const std::string target = "device " + device + " (" + environment.store_path + ")";
  if (!args.Has("yes")) {
    if (!IsTerminal(0))
      UsageError("restore replaces " + target + "; off a terminal it needs --yes");
    std::string answer = AskLine("Restoring replaces everything on " + target + " with " + from +
                                 ", its PIN and its tries left as they were then.\n"
                                 "Type the device number (" +
                                 device + ") to go on: ");
    if (answer != device) Failure("restore not confirmed; nothing was changed");
  }
  // The token's own commit: under its lock, a temporary file flushed and
  // renamed over whatever is at the store's name.
  const int32_t status =
      obkey::softtoken::RestoreStore(environment.device, store.data(), store.size());
  if (status != 0) {
    Failure("restore: cannot replace " + environment.store_path + ": " + StatusLabel(status) +
                "; the store is as it was",
            status == XCST_TOKEN_BUSY ? DiagnoseReach(environment) : DiagnoseWritable(environment));
  }
  return context.Done("restore of " + target, std::to_string(store.size()) + " bytes from " + from);
}

}  // namespace

void AddInventoryCommands(std::vector<Command> *table) {
  table->push_back({"list", "", "@pin", "everything on the token, with the libraries in use",
                    "Lists the obkey and token libraries loaded, the device, the user PIN's tries\n"
                    "left (read from the software token's store without spending one; other\n"
                    "token libraries do not tell), both containers with their key pairs (and the\n"
                    "SHA-256 fingerprint of each public key), their certificates (subject,\n"
                    "issuer, expiry, whether they match the key pair), and the labelled files\n"
                    "with their sizes. No PIN is needed.\n"
                    "\nexample:\n  obkeyctl list\n",
                    ListCommand});
  table->push_back(
      {"backup", "", "out=!", "copy the software token's store to a file (mode 0600)",
       "Copies token-N.db while holding the token's lock, so that no session changes it\n"
       "meanwhile. The copy holds everything on the token: containers, key pairs (their\n"
       "private keys sealed as on the token, readable with the PIN of the day), certificates,\n"
       "labelled files, the PIN and its tries left. Keep it as safe as the token. A link,\n"
       "a FIFO or a device at the store's name is refused, and so is a store that would\n"
       "not restore.\n"
       "\nexample:\n  obkeyctl backup --out token-0.backup\n",
       BackupCommand, false});
  table->push_back(
      {"restore", "BACKUP", "yes", "replace the software token's store with a backup",
       "Reads the whole backup and checks it as the token checks its store (layout,\n"
       "checksum, every key) before anything is asked or replaced, then writes it as the\n"
       "token commits: a new file, flushed and renamed over the store.\n"
       "Replaces everything on the device with the backup, under the token's lock. The\n"
       "PIN becomes the one of the day of the backup, and so does its count of tries left:\n"
       "a restore undoes wrong PINs given since, and any change made since is lost. On a\n"
       "terminal obkeyctl names the device and asks you to type its number; elsewhere it\n"
       "needs --yes.\n"
       "\nexample:\n  obkeyctl restore token-0.backup --device 0\n",
       RestoreCommand, false});
}

}  // namespace obkeyctl

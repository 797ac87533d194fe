#include "diagnose.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "device_config.h"
#include "registry.h"
#include "registry_text.h"
#include "softtoken_status.h"
#include "system.h"

namespace obkeyctl {
namespace {

// The software token's store layout (softtoken/README.md): magic, version,
// then the header (48 bytes in version 1, 56 from version 2 on); the user
// PIN tries left follow the login epoch and the two PIN records in the body.
constexpr char kStoreMagic[] = "OBKEYTOK";
constexpr size_t kStoreMagicLen = 8;
constexpr size_t kStoreHeaderLen = 48;
constexpr uint8_t kNewestStoreVersion = 4;
// Login epoch, then the admin PIN record (PBKDF2: salt, hash, count).
constexpr size_t kUserPinInBody = 16 + (16 + 32 + 4);
constexpr size_t kPbkdf2PinRecord = 16 + 32 + 4;
// From version 4 the user PIN record starts with its derivation: 1 PBKDF2,
// 2 scrypt (salt, log2 N, r, p, check value).
constexpr uint8_t kScryptPin = 2;
constexpr size_t kScryptPinRecord = 16 + 1 + 4 + 4 + 32;

// StoreVersion is the format version of a store header, 0 if unknown.
uint8_t StoreVersion(const std::vector<uint8_t> &store) {
  if (store.size() < kStoreHeaderLen ||
      std::memcmp(store.data(), kStoreMagic, kStoreMagicLen) != 0 || store[9] != 0 ||
      store[10] != 0 || store[11] != 0 || store[8] == 0 || store[8] > kNewestStoreVersion) {
    return 0;
  }
  return store[8];
}

// TriesOffset is where the user PIN tries left lie in `store`, 0 when the
// store is too short to tell.
size_t TriesOffset(const std::vector<uint8_t> &store, uint8_t version) {
  const size_t user_pin = (version == 1 ? kStoreHeaderLen : kStoreHeaderLen + 8) + kUserPinInBody;
  if (version < 4) return user_pin + kPbkdf2PinRecord;
  if (store.size() <= user_pin) return 0;
  return user_pin + 1 + (store[user_pin] == kScryptPin ? kScryptPinRecord : kPbkdf2PinRecord);
}
constexpr unsigned kDefaultLockWaitMs = 5000;

std::string Getenv(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Join(const std::string &folder, const std::string &name) {
  if (folder.empty()) return name;
  char last = folder.back();
  if (last == '/' || last == '\\') return folder + name;
  return folder + PathSeparator() + name;
}

std::string DeviceText(const Environment &environment) {
  return environment.device_known ? std::to_string(environment.device) : "N";
}

Finding ConfigFinding(const Environment &environment) {
  if (HasRegistry()) {
    return {"the registry value USBKEY under " + environment.config_where +
                " is missing or empty, so obkey does not know which device to open",
            "write it with `obkeyctl config init --device 0` (as an administrator)"};
  } else {
    PathState file = ExaminePath(environment.config_where);
    std::string fix =
        "write it with `obkeyctl config init --device 0`, or name another file with "
        "--registry FILE";
    if (!file.exists) {
      return {"the configuration file " + environment.config_where + " (" +
                  environment.config_from + ") does not exist: " + file.error,
              fix};
    }
    if (!file.readable) {
      return {
          "the configuration file " + environment.config_where + " cannot be read: " + file.error,
          "make it readable: chmod a+r " + environment.config_where};
    }
    return {"the configuration file " + environment.config_where +
                " has no \"USBKEY\" value under [HKEY_LOCAL_MACHINE\\" + obkey::kConfigKeyPath +
                "]",
            fix};
  }
}

// The room a change may need beyond a copy of the store: at most the user
// files' 64 KiB, and a little for the store's own growth.
constexpr int64_t kChangeRoom = 64 * 1024 + 4096;

std::string StatusLabelOf(int32_t status) {
  return StatusName(status) + " (" + StatusNumber(status) + ")";
}

// A damaged store is put back from a backup first; formatting, which
// refuses a store it cannot read, needs it moved aside and loses the keys.
std::string DamagedStoreFix(const Environment &environment) {
  const std::string device = DeviceText(environment);
  return "put a backup back: obkeyctl restore BACKUP --device " + device +
         " --yes (the token as it was that day); without a backup, move the damaged store "
         "aside (" +
         (HasRegistry() ? "move " : "mv ") + environment.store_path + " " + environment.store_path +
         ".damaged) and make a new, empty token: obkeyctl format --device " + device +
         " --yes (its keys are lost)";
}

}  // namespace

std::string TriesLeftText(int tries) {
  return std::to_string(tries) + (tries == 1 ? " try left" : " tries left");
}

Finding PinLockedFinding() {
  return {"the user PIN is locked: wrong PINs used up its tries",
          "put back a backup made before it locked: obkeyctl restore BACKUP --yes (the PIN, "
          "its tries and everything on the token become those of that day); without one, only "
          "formatting unlocks it, and it erases the token: obkeyctl format"};
}

std::vector<Finding> FullDiskFindings(const Environment &environment, bool certain) {
  const int64_t free_bytes = FreeSpace(environment.token_dir);
  const int64_t store_bytes =
      environment.store_path.empty() ? -1 : ExaminePath(environment.store_path).size;
  if (!certain &&
      (free_bytes < 0 || free_bytes >= std::max<int64_t>(store_bytes, 0) + kChangeRoom)) {
    return {};
  }
  const std::string free_text =
      free_bytes < 0 ? "" : " (" + std::to_string(free_bytes) + " bytes free)";
  const std::string room =
      store_bytes > 0 ? "at least " + std::to_string(store_bytes) + " bytes" : "room";
  return {
      {"the disk that holds the token folder " + environment.token_dir + " is full" + free_text +
           ": the token writes every change to a new copy of its store beside the old one, "
           "and needs " +
           room + " for it (more when the change adds a file)",
       "make room: free " + room + " and some more on that disk (df -h " + environment.token_dir +
           " shows it), or move the token's files to a disk with room and use that folder "
           "with --token-dir DIR"}};
}

std::vector<Finding> TokenStatusFindings(int32_t token_status, const Environment &environment) {
  const std::string says = "the token library reports " + StatusLabelOf(token_status);
  const std::string store = "the token store " + environment.store_path;
  switch (token_status) {
    case XCST_STORE_CORRUPT:
      return {{store + " is damaged (" + says + ")", DamagedStoreFix(environment)}};
    case XCST_STORE_VERSION:
      return {{store + " has a format version this token library does not read (" + says + ")",
               "use the token library that wrote it, or put a backup of this version back: "
               "obkeyctl restore BACKUP"}};
    case XCST_STORE_BAD_KEY:
      return {{store +
                   " holds a private key that fails its check or whose seal does not "
                   "match: it was written by someone without the PIN, or damaged (" +
                   says + ")",
               DamagedStoreFix(environment)}};
    case XCST_DISK_FULL:
      return FullDiskFindings(environment, true);
    case XCST_STORE_IO: {
      std::vector<Finding> full = FullDiskFindings(environment, false);
      if (!full.empty()) return full;
      return {{store + ", its lock file or its folder could not be read or written (" + says + ")",
               "check the disk and the files' owner and mode (ls -la " + environment.token_dir +
                   "); --verbose shows every call"}};
    }
    case XCST_TOKEN_DIR_SHARED:
      return {{"the token folder " + environment.token_dir +
                   " is writable by group or others, and the token refuses it (" + says + ")",
               "chmod go-w " + environment.token_dir}};
    case XCST_TOKEN_DIR_FOREIGN:
      return DiagnoseFolderControl(environment);
    default:
      return {};
  }
}

std::string ConfigValueForDevice(int32_t device) {
  return "XCSP_KEY_" + std::to_string(device);
}

std::string RegistryFileText(const std::string &value) {
  return obkey::platform::RegistryFileText(obkey::kConfigKeyPath, obkey::kConfigValueName, value);
}

Environment DescribeEnvironment(const Settings &settings) {
  Environment environment;
  if (HasRegistry()) {
    environment.config_where = std::string("HKEY_LOCAL_MACHINE\\") + obkey::kConfigKeyPath;
    environment.config_from = "registry";
  } else {
    environment.config_where = obkey::platform::RegistryFilePath();
    environment.config_from = !settings.registry_from.empty()     ? settings.registry_from
                              : !Getenv("OBKEY_REGISTRY").empty() ? "$OBKEY_REGISTRY"
                                                                  : "default";
  }
  std::string value;
  environment.config_read =
      obkey::platform::ReadMachineValue(obkey::kConfigKeyPath, obkey::kConfigValueName, &value);
  if (environment.config_read) {
    environment.config_value = value;
    environment.device_known = obkey::DeviceIndexFromValue(value, &environment.device);
    environment.device_from = "the configuration";
  }
  if (!settings.device.empty()) {
    environment.device_known = true;
    environment.device = static_cast<int32_t>(std::strtol(settings.device.c_str(), nullptr, 10));
    environment.device_from = "--device";
  }

  environment.token_dir = Getenv("XCSP_TOKEN_DIR");
  if (!environment.token_dir.empty()) {
    environment.token_dir_from =
        settings.token_dir_from.empty() ? "$XCSP_TOKEN_DIR" : settings.token_dir_from;
  } else {
    if (HasRegistry()) {
      environment.token_dir = Join(Join(HomeFolder(), "obkey"), "tokens");
    } else {
      environment.token_dir = HomeFolder() + "/.local/share/obkey/tokens";
    }
    environment.token_dir_from = "default";
  }
  if (environment.device_known) {
    std::string stem = "token-" + std::to_string(environment.device);
    environment.store_path = Join(environment.token_dir, stem + ".db");
    environment.lock_path = Join(environment.token_dir, stem + ".lock");
  }

  if (HasRegistry()) {
    environment.log_path = "c:\\xml816.log";
    environment.log_from = "fixed";
  } else {
    environment.log_path = Getenv("OBKEY_LOG");
    if (!environment.log_path.empty()) {
      environment.log_from = settings.log_from.empty() ? "$OBKEY_LOG" : settings.log_from;
    } else {
      std::string state = Getenv("XDG_STATE_HOME");
      environment.log_path =
          (state.empty() ? HomeFolder() + "/.local/state" : state) + "/obkey/xml816.log";
      environment.log_from = "default";
    }
  }
  return environment;
}

std::vector<Finding> DiagnoseReach(const Environment &environment) {
  std::vector<Finding> findings;
  if (!environment.config_read && environment.device_from != "--device") {
    findings.push_back(ConfigFinding(environment));
    return findings;
  }
  const std::string device = DeviceText(environment);
  const std::string format_fix = "`obkeyctl format --device " + device +
                                 " --yes` makes a new token there (it erases nothing else)";
  PathState folder = ExaminePath(environment.token_dir);
  if (!folder.exists) {
    findings.push_back(
        {"the token folder " + environment.token_dir + " (" + environment.token_dir_from +
             ") does not exist: " + folder.error,
         format_fix + ", or point --token-dir at the folder holding token-" + device + ".db"});
    return findings;
  }
  if (!folder.is_directory) {
    findings.push_back({"the token folder " + environment.token_dir + " is not a folder",
                        "choose a folder with --token-dir DIR"});
    return findings;
  }
  if (folder.shared_writable) {
    findings.push_back({"the token folder " + environment.token_dir +
                            " is writable by group or others; the token refuses it, since "
                            "another user could put a store or a link there",
                        "chmod go-w " + environment.token_dir});
  } else {
    std::vector<Finding> control = DiagnoseFolderControl(environment);
    findings.insert(findings.end(), control.begin(), control.end());
  }
  if (!folder.writable) {
    findings.push_back({"the token folder " + environment.token_dir + " is not writable: " +
                            folder.error + " (the token keeps its lock file and its changes there)",
                        "chmod u+w " + environment.token_dir +
                            " (or run as its owner), or use a folder of your own with "
                            "--token-dir DIR"});
  }
  if (environment.store_path.empty()) return findings;
  PathState store = ExaminePath(environment.store_path);
  if (!store.exists) {
    findings.push_back({"there is no token store " + environment.store_path + ": device " + device +
                            " was never formatted (a missing store is an unplugged "
                            "token)",
                        format_fix});
    return findings;
  }
  if (!store.readable) {
    findings.push_back(
        {"the token store " + environment.store_path + " cannot be read: " + store.error,
         "chmod u+rw " + environment.store_path + " (or run as its owner)"});
    return findings;
  }
  std::vector<uint8_t> header;
  std::string error;
  if (ReadTokenFile(environment.store_path, &header, &error)) {
    if (header.size() < kStoreMagicLen + 4 ||
        std::memcmp(header.data(), kStoreMagic, kStoreMagicLen) != 0) {
      findings.push_back(
          {"the token store " + environment.store_path + " is damaged or not a token store",
           DamagedStoreFix(environment)});
    } else if (StoreVersion(header) == 0) {
      findings.push_back({"the token store " + environment.store_path +
                              " has a format version this token library does not read",
                          "use the token library that wrote it"});
    }
  } else {
    findings.push_back({"the token store " + environment.store_path + " cannot be read: " + error +
                            " (a link, a FIFO or a device is refused)",
                        "move it away and put the store back, or " + format_fix});
  }
  std::vector<uint8_t> unused;
  PathState lock = ExaminePath(environment.lock_path);
  if (lock.exists && !ReadTokenFile(environment.lock_path, &unused, &error)) {
    findings.push_back({"the token's lock file " + environment.lock_path + " cannot be used: " +
                            error + " (a link, a FIFO or a device is refused)",
                        "remove it: the token makes a new one"});
  }
  if (lock.exists && !lock.writable) {
    findings.push_back({"the token's lock file " + environment.lock_path +
                            " cannot be opened for writing: " + lock.error,
                        "chmod u+rw " + environment.lock_path + " (or run as its owner)"});
  }
  if (LockHeldElsewhere(environment.lock_path) == 1) {
    std::string wait = Getenv("XCSP_TOKEN_LOCK_TIMEOUT_MS");
    findings.push_back(
        {"another process holds the token's lock " + environment.lock_path +
             " (a session in progress, or a program that hangs); the token gave up after " +
             (wait.empty() ? std::to_string(kDefaultLockWaitMs) : wait) + " ms",
         "let that program finish, or find it with `fuser " + environment.lock_path + "`"});
  }
  return findings;
}

std::vector<Finding> DiagnoseFolderControl(const Environment &environment) {
  const FolderControl control = FolderInOthersControl(environment.token_dir);
  if (control.folder.empty()) return {};
  return {{(control.folder == environment.token_dir ? "the token folder " : "the folder ") +
               control.folder + " " + control.why +
               "; the token refuses a folder another account could change or replace, as ssh "
               "refuses such a ~/.ssh",
           "use a folder of your own (--token-dir DIR or $XCSP_TOKEN_DIR) whose folders above "
           "are yours or root's and writable by nobody else (sticky ones such as /tmp "
           "excepted)"}};
}

namespace {

// RoomKeptAside is the size of the file in which the software token keeps
// room for its next commit (token-N.reserve beside token-N.db), or 0.
int64_t RoomKeptAside(const Environment &environment) {
  const std::string &store = environment.store_path;
  if (store.size() < 3 || store.compare(store.size() - 3, 3, ".db") != 0) return 0;
  const PathState reserve = ExaminePath(store.substr(0, store.size() - 3) + ".reserve");
  return reserve.exists && reserve.size > 0 ? reserve.size : 0;
}

}  // namespace

std::vector<Finding> DiagnoseWritable(const Environment &environment, bool count_room_kept_aside) {
  std::vector<Finding> findings;
  PathState folder = ExaminePath(environment.token_dir);
  if (folder.exists && folder.is_directory && !folder.writable) {
    findings.push_back({"the token folder " + environment.token_dir + " is not writable: " +
                            folder.error + "; the token cannot save this change",
                        "chmod u+w " + environment.token_dir +
                            ", or use a folder of your own with --token-dir DIR"});
  }
  if (!environment.store_path.empty()) {
    PathState store = ExaminePath(environment.store_path);
    if (store.exists && !store.writable) {
      findings.push_back(
          {"the token store " + environment.store_path + " is not writable: " + store.error,
           "chmod u+w " + environment.store_path});
    }
    // A disk with less room than the store itself cannot take its next copy.
    const int64_t free_bytes = FreeSpace(environment.token_dir);
    const int64_t aside = count_room_kept_aside ? RoomKeptAside(environment) : 0;
    if (store.exists && free_bytes >= 0 && free_bytes + aside < store.size) {
      std::vector<Finding> full = FullDiskFindings(environment, true);
      findings.insert(findings.end(), full.begin(), full.end());
    }
  }
  return findings;
}

bool IsTokenStore(const std::vector<uint8_t> &bytes) {
  return bytes.size() >= kStoreHeaderLen &&
         std::memcmp(bytes.data(), kStoreMagic, kStoreMagicLen) == 0 && bytes[8] != 0;
}

int PinTriesLeft(const Environment &environment) {
  if (environment.store_path.empty()) return -1;
  std::vector<uint8_t> store;
  std::string error;
  if (!ReadTokenFile(environment.store_path, &store, &error)) return -1;
  const uint8_t version = StoreVersion(store);
  const size_t tries = version == 0 ? 0 : TriesOffset(store, version);
  if (tries == 0 || store.size() <= tries) return -1;
  return store[tries];
}

}  // namespace obkeyctl

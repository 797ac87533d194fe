// The configuration that names the token device: the registry value on
// Windows, the file that stands in for it elsewhere.
#include <cstdio>
#include <string>

#include "cli.h"
#include "device_config.h"
#include "diagnose.h"
#include "pkcs11_view.h"
#include "registry.h"
#include "softtoken_status.h"
#include "system.h"
#include "token_answer.h"

namespace obkeyctl {
namespace {

// A log this large is worth a word: at 56 bytes an entry it holds some
// twenty million signatures.
constexpr int64_t kLogWarnBytes = 1024ll * 1024 * 1024;

int ConfigInitCommand(Context &context, const Args &args) {
  if (context.settings.device.empty()) UsageError("`config init` needs --device N");
  int32_t device = static_cast<int32_t>(std::stol(context.settings.device));
  std::string value = ConfigValueForDevice(device);
  std::string error;
  if (HasRegistry()) {
    if (args.Has("file")) UsageError("--file: on Windows the configuration is the registry");
    if (!WriteMachineValue(obkey::kConfigKeyPath, obkey::kConfigValueName, value, &error)) {
      Failure(std::string("cannot write the registry value HKEY_LOCAL_MACHINE\\") +
                  obkey::kConfigKeyPath + "\\" + obkey::kConfigValueName + ": " + error,
              {{"writing below HKEY_LOCAL_MACHINE needs an administrator",
                "run obkeyctl as an administrator"}});
    }
    return context.Done("config init", std::string("HKEY_LOCAL_MACHINE\\") + obkey::kConfigKeyPath +
                                           " USBKEY=" + value + " names device " +
                                           std::to_string(device));
  }
  std::string path = args.Get("file", obkey::platform::RegistryFilePath());
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      !CreateFolders(path.substr(0, slash), 0755, &error)) {
    Failure("cannot make the folder of " + path + ": " + error,
            {{"the folder is not yours to write", "give a path of your own with --file PATH"}});
  }
  std::string text = RegistryFileText(value);
  if (!WriteFileAtomically(path, reinterpret_cast<const uint8_t *>(text.data()), text.size(), 0644,
                           &error)) {
    Failure("cannot write " + path + ": " + error,
            {{"the folder is not yours to write (the default is /etc/obkey)",
              "give a path of your own with --file PATH and export OBKEY_REGISTRY=PATH"}});
  }
  context.Done("config init", path + " names device " + std::to_string(device));
  if (path != obkey::platform::RegistryFilePath()) {
    context.Note("obkey reads " + obkey::platform::RegistryFilePath() +
                 "; to use this file, export OBKEY_REGISTRY=" + path);
  }
  return kExitOk;
}

int ConfigShowCommand(Context &context, const Args &) {
  Environment environment = DescribeEnvironment(context.settings);
  std::string text;
  auto line = [&](const std::string &name, const std::string &value, const std::string &from) {
    char buffer[1024];
    std::snprintf(buffer, sizeof(buffer), "%-13s %s  (%s)\n", name.c_str(), value.c_str(),
                  from.c_str());
    text += buffer;
  };
  if (HasRegistry()) {
    line("configuration", environment.config_where + "\\USBKEY", "registry");
  } else {
    line("configuration", environment.config_where, environment.config_from);
  }
  line("USBKEY", environment.config_read ? "\"" + environment.config_value + "\"" : "(none)",
       environment.config_read ? "configuration" : "missing");
  line("device", environment.device_known ? std::to_string(environment.device) : "(unknown)",
       environment.device_known ? environment.device_from : "no configuration");
  std::string token_library_from;
  std::string token_library = TokenLibraryInUse(context.settings, &token_library_from);
  line("token library", token_library.empty() ? "(unknown)" : token_library, token_library_from);
  if (UsesPkcs11(context.settings)) {
    for (const ShowLine &shown : Pkcs11Lines(environment, ProbeToken(environment))) {
      line(shown.name, shown.value, shown.from);
    }
  } else {
    line("token folder", environment.token_dir, environment.token_dir_from);
    if (!environment.store_path.empty()) {
      PathState store = ExaminePath(environment.store_path);
      line("token store", environment.store_path,
           store.exists ? "present" : "missing: the token was never formatted");
    }
  }
  PathState log = ExaminePath(environment.log_path);
  line("log", environment.log_path,
       environment.log_from +
           (log.exists ? ", " + std::to_string(log.size) + " bytes" : ", absent"));
  const char *library = std::getenv("OBKEY_LIBRARY");
  line("library",
       !context.settings.library.empty() ? context.settings.library
       : library != nullptr && library[0]
           ? library
           : std::string(DefaultLibraryName()) + " (found by the system's loader)",
       !context.settings.library.empty()  ? "--library"
       : library != nullptr && library[0] ? "$OBKEY_LIBRARY"
                                          : "default");
  std::fputs(text.c_str(), stdout);
  return kExitOk;
}

// StoreFindings: what the software token says of its store when it opens
// it, which sees damage past the header that obkeyctl's own look does not.
// The token library is the one obkey loads; opening the store changes
// nothing.
std::vector<Finding> StoreFindings(Context &context, const Environment &environment) {
  if (!environment.device_known) return {};
  std::string from;
  TokenLibraryInUse(context.settings, &from);
  int32_t token_status = OB_OK;
  if (!AskTokenConnect(environment.device, &token_status) || token_status == OB_OK) return {};
  std::vector<Finding> findings = TokenStatusFindings(token_status, environment);
  if (findings.empty()) {
    findings.push_back({"the token library refuses to open device " +
                            std::to_string(environment.device) + ": " + StatusLabel(token_status),
                        "see the token library's documentation; --verbose shows every call"});
  }
  return findings;
}

// diagnose: the settings, then everything obkeyctl can see going wrong with
// them; the token library is asked to open the token, nothing more.
int DiagnoseCommand(Context &context, const Args &args) {
  ConfigShowCommand(context, args);
  Environment environment = DescribeEnvironment(context.settings);
  const bool pkcs11 = UsesPkcs11(context.settings);
  const ModuleProbe probe = pkcs11 ? ProbeToken(environment) : ModuleProbe();
  std::vector<Finding> findings =
      pkcs11 ? Pkcs11Reach(environment, probe) : DiagnoseReach(environment);
  if (findings.empty() && !pkcs11) findings = DiagnoseWritable(environment);
  if (findings.empty() && !pkcs11) findings = StoreFindings(context, environment);
  const bool pin_locked =
      pkcs11 ? probe.device_found && probe.user_pin_locked : PinTriesLeft(environment) == 0;
  if (pin_locked) {
    std::vector<Finding> locked = pkcs11 ? Pkcs11Findings(XCST_PIN_LOCKED, environment)
                                         : std::vector<Finding>{PinLockedFinding()};
    findings.insert(findings.end(), locked.begin(), locked.end());
  }
  PathState log = ExaminePath(environment.log_path);
  if (log.exists && log.size > kLogWarnBytes) {
    findings.push_back({"the diagnostic log " + environment.log_path + " is " +
                            std::to_string(log.size / (1024 * 1024)) +
                            " MiB; obkey appends to it and never rotates it",
                        "rotate it: move it away (obkey opens it afresh for every entry), e.g. "
                        "with logrotate and no copytruncate"});
  }
  std::fflush(stdout);
  if (findings.empty()) {
    std::printf("\nobkeyctl sees nothing wrong with the configuration or the %s.\n",
                pkcs11 ? "PKCS #11 module and its token" : "software token");
    return kExitOk;
  }
  std::printf("\n");
  for (const Finding &finding : findings) {
    std::printf("problem: %s\n  fix:   %s\n", finding.cause.c_str(), finding.fix.c_str());
  }
  return kExitFailed;
}

}  // namespace

void AddConfigCommands(std::vector<Command> *table) {
  table->push_back({"config init", "",
                    "device=! file=", "write the configuration that names the device",
                    "Writes the value USBKEY=\"XCSP_KEY_N\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\"
                    "orbisoft\\Implement Type:\n"
                    "into the registry on Windows, elsewhere into the file that stands in for it\n"
                    "(--file, else $OBKEY_REGISTRY or /etc/obkey/registry.reg), atomically and\n"
                    "with mode 0644.\n"
                    "\nexamples:\n"
                    "  sudo obkeyctl config init --device 0\n"
                    "  obkeyctl config init --device 0 --file ~/obkey.reg && export "
                    "OBKEY_REGISTRY=~/obkey.reg\n",
                    ConfigInitCommand, false});
  table->push_back({"config show", "", "", "show each setting and where it comes from",
                    "The log line gives the diagnostic log's size: obkey appends about 56 bytes\n"
                    "per signature and never rotates it. The token library line names the one\n"
                    "obkey uses; over p11token the lines after it name the PKCS #11 module and\n"
                    "its source, whether initialisation arguments are set, whether it loads,\n"
                    "C_Initialize's answer and the device's token (slot, label, serial).\n"
                    "\nexample:\n  obkeyctl config show\n",
                    ConfigShowCommand, false});
  table->push_back({"diagnose", "", "", "check the configuration, the token and the log",
                    "Prints what config show prints, then every problem obkeyctl can see: a\n"
                    "missing or unreadable configuration, a token folder that is missing, not\n"
                    "writable or writable by others, a store that is missing or not a token\n"
                    "store, a lock held by another process, a disk without room for the store's\n"
                    "next copy, a diagnostic log over 1 GiB. Then the token library opens the\n"
                    "token, changing nothing, and what it refuses is named: a store damaged past\n"
                    "its header, of another version, or with a key that fails its check. A user\n"
                    "PIN locked by wrong PINs is a problem too. Over a PKCS #11 module\n"
                    "(p11token): a module that is not configured, does not load, is no PKCS #11\n"
                    "module or refuses C_Initialize (by its CKR name), an unusable lock folder,\n"
                    "no token for the device, a locked PIN. Exit status 1 when it finds one.\n"
                    "\nexample:\n  obkeyctl diagnose\n",
                    DiagnoseCommand, false});
}

}  // namespace obkeyctl

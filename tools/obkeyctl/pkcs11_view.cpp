#include "pkcs11_view.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "key_operation.h"
#include "module.h"
#include "obkey_library.h"
#include "p11token_status.h"
#include "status_text.h"
#include "system.h"

namespace obkeyctl {
namespace {

namespace p11 = obkey::p11token;

std::string FolderName(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos || slash == 0) return "";
  size_t start = path.find_last_of("/\\", slash - 1);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     slash - (start == std::string::npos ? 0 : start + 1));
}

bool Names(const std::string &path, const char *part) {
  return path.find(part) != std::string::npos;
}

std::string ModuleFrom(const ModuleProbe &probe) {
  return probe.module_from_environment
             ? std::string("$") + p11::kModuleEnvironmentVariable
             : std::string("the configuration value ") + p11::kModuleConfigValueName;
}

std::string InitArgsFrom(const ModuleProbe &probe) {
  return probe.init_args_from_environment
             ? std::string("$") + p11::kInitArgsEnvironmentVariable
             : std::string("the configuration value ") + p11::kInitArgsConfigValueName;
}

std::string TokenText(const ModuleProbe &probe) {
  if (!probe.token_initialized) {
    return "the uninitialised token in slot " + std::to_string(probe.slot);
  }
  return "the token \"" + probe.label + "\" (serial " + probe.serial + ", slot " +
         std::to_string(probe.slot) + ")";
}

std::string DeviceText(const Environment &environment) {
  return environment.device_known ? std::to_string(environment.device) : "N";
}

// Where a module is named: the variable, or the value beside USBKEY.
std::string NameModuleFix(const Environment &environment) {
  if (HasRegistry()) {
    return std::string("set ") + p11::kModuleEnvironmentVariable +
           "=C:\\path\\to\\module.dll (e.g. OpenSC's opensc-pkcs11.dll), or write the "
           "registry value " +
           p11::kModuleConfigValueName + " beside USBKEY under " + environment.config_where;
  }
  return std::string("export ") + p11::kModuleEnvironmentVariable +
         "=/path/to/the/module (e.g. /usr/lib/softhsm/libsofthsm2.so or OpenSC's "
         "opensc-pkcs11.so), or add \"" +
         p11::kModuleConfigValueName + "\"=\"/path/to/the/module\" beside USBKEY in " +
         environment.config_where;
}

Finding LoadFinding(const Environment &environment, const ModuleProbe &probe) {
  if (Names(probe.failure, "C_GetFunctionList")) {
    return {"the module " + ModuleFrom(probe) +
                " names loads but is no PKCS #11 module: " + probe.failure,
            "name the module file itself, the one that exports C_GetFunctionList (its maker's "
            "documentation names it), not another library: " +
                NameModuleFix(environment)};
  }
  return {
      "the PKCS #11 module " + ModuleFrom(probe) + " names cannot be loaded: " + probe.failure,
      "check that the path names an installed module built for this machine, and that "
      "its own libraries are installed (" +
          (HasRegistry() ? std::string("beside it or on the PATH") : "ldd " + probe.module_path) +
          "); " + NameModuleFix(environment)};
}

Finding InitFinding(const ModuleProbe &probe) {
  const std::string cause = "the PKCS #11 module refused to start: " + probe.failure;
  if (probe.initialize_result == "CKR_ARGUMENTS_BAD" && probe.init_args_set) {
    return {cause, "correct the initialisation arguments that " + InitArgsFrom(probe) +
                       " gives it (the module's documentation says their form), or unset "
                       "them if the module takes none"};
  }
  if (probe.initialize_result == "CKR_ARGUMENTS_BAD") {
    return {cause, std::string("the module needs initialisation arguments: set ") +
                       p11::kInitArgsEnvironmentVariable + " or the configuration value " +
                       p11::kInitArgsConfigValueName + " beside " + p11::kModuleConfigValueName +
                       " (see the module's documentation)"};
  }
  if (Names(probe.module_path, "p11-kit-client")) {
    return {cause,
            "start the p11-kit server that exports the token (p11-kit server "
            "--provider MODULE pkcs11:) and point $P11_KIT_SERVER_ADDRESS at it"};
  }
  return {cause,
          "the module's own configuration or service is at fault: see its documentation "
          "and log (SoftHSMv2: $SOFTHSM2_CONF and its token folder; OpenSC: pcscd and "
          "the reader)"};
}

// NoTokenFinding: the module runs but lists no token for the device.
Finding NoTokenFinding(const Environment &environment, const ModuleProbe &probe) {
  const std::string device = DeviceText(environment);
  std::string cause = "the PKCS #11 module " + probe.module_path + " lists " +
                      std::to_string(probe.token_count) +
                      " slot(s) with a token, too few for device " + device +
                      " (devices number those slots from 0)";
  if (Names(probe.module_path, "p11-kit-client")) {
    return {cause,
            "check that the p11-kit server ($P11_KIT_SERVER_ADDRESS) runs and exports "
            "the token, or name another device with `obkeyctl config init --device N`"};
  }
  std::string fix = "plug the token in (a smart card: its reader and pcscd)";
  if (probe.token_count > 0) {
    fix += ", or name a device from 0 to " + std::to_string(probe.token_count - 1) +
           " with `obkeyctl config init --device N`";
  }
  return {cause, fix};
}

std::vector<Finding> PinFindings(int32_t status, const ModuleProbe &probe) {
  const std::string slot = probe.device_found ? " --slot " + std::to_string(probe.slot) : "";
  switch (status) {
    case XCST_PIN_INCORRECT:
      return {{"the token refused the PIN",
               "check the PIN; a token with a retry counter of its own locks the PIN after "
               "too many wrong ones (SoftHSMv2 has none)"}};
    case XCST_PIN_LOCKED: {
      std::string fix =
          Names(probe.module_path, "tpm2")
              ? "a TPM's dictionary-attack lockout ends with `tpm2_dictionarylockout "
                "--clear-lockout` (its owner's authorisation) or after its recovery time"
              : "the token's SO sets a new user PIN: pkcs11-tool --module " + probe.module_path +
                    slot + " --login --login-type so --init-pin";
      return {{"the PKCS #11 module " + probe.module_path +
                   " locked the user PIN (its own retry counter)",
               fix + "; `obkeyctl format` also unlocks it, but erases the token"}};
    }
    case XCST_PIN_LENGTH:
      return {{"the token takes PINs of " + std::to_string(probe.min_pin_len) + " to " +
                   std::to_string(probe.max_pin_len) + " bytes",
               "give a PIN of that length"}};
    default:
      return {};
  }
}

// ValueName names the PKCS #11 value a status carries in its low half.
std::string ValueName(int32_t status) {
  if (const char *name = obkey::Pkcs11ValueName(status)) return name;
  char number[16];
  std::snprintf(number, sizeof(number), "0x%04X", static_cast<unsigned>(status) & 0xFFFFu);
  return number;
}

const char kGivePin[] = "give the user PIN: --pin-file FILE, --pin-env VAR or --pin-stdin";

// AnswerFindings: a module's own answer, carried in a status, with a fix
// that fits the module.
std::vector<Finding> AnswerFindings(int32_t status, const std::string &module) {
  const uint32_t range = static_cast<uint32_t>(status) & 0xFFFF0000u;
  const uint32_t value = static_cast<uint32_t>(status) & 0xFFFFu;
  const std::string name = ValueName(status);
  const std::string the_module = "the PKCS #11 module " + module;
  if (range == P11ST_DATA_REFUSED_BASE && value == CKR_SESSION_READ_ONLY) {
    return {{the_module + " makes objects only after a login (tpm2-pkcs11 does): it refused " +
                 "obkey's data object with " + name,
             kGivePin}};
  }
  if (range == P11ST_DATA_REFUSED_BASE) {
    return {{the_module + " refused obkey's data object (the container directory or a " +
                 "labelled file), public and private alike, with " + name +
                 ": it keeps no data objects that obkey can use",
             "obkey's containers and labelled files need a module that keeps data objects "
             "(SoftHSMv2, a smart card through OpenSC); this module cannot hold them"}};
  }
  if (range == P11ST_NO_MECHANISM_BASE && value == CKM_RSA_PKCS_KEY_PAIR_GEN) {
    return {{the_module + " lists no " + name +
                 " for the token (C_GetMechanismList): " + "it makes no RSA key pairs",
             "make the key pair elsewhere and store it with `obkeyctl import-key` (where "
             "the module takes RSA keys), or use a token whose module makes them"}};
  }
  if (range == P11ST_NO_MECHANISM_BASE) {
    return {{the_module + " lists no " + name +
                 " for the token (C_GetMechanismList): " + "obkey's RSA operations use it",
             "use a token whose module offers " + name}};
  }
  if (status == P11ST_CHANGED) {
    return {
        {"another program changed obkey's objects on the token while this command ran "
         "(obkey on another machine sharing the token, or pkcs11-tool): this command's "
         "change was not kept",
         "run the command again"}};
  }
  if (status == XCST_FILE_SPACE_FULL) {
    return {{"the token has no room for the object (" + the_module + " answered " +
                 "CKR_DEVICE_MEMORY)",
             "remove what is not needed from the token"}};
  }
  if (range == P11ST_CKR_BASE || range == P11ST_CKR_VENDOR_BASE) {
    return {{the_module + " answered " + name,
             Names(module, "p11-kit-client")
                 ? "the p11-kit server, or the module behind it, failed: see its log, then "
                   "try again"
                 : "see the module's documentation and log for " + name +
                       "; OBKEY_DEBUG=1 prints p11token's own causes"}};
  }
  return {};
}

bool PinStatus(int32_t status) {
  return status == XCST_PIN_INCORRECT || status == XCST_PIN_LOCKED || status == XCST_PIN_LENGTH;
}

bool ReachStatus(int32_t status) {
  return status == OB_E_NO_SESSION || status == XCST_NO_TOKEN || status == XCST_TOKEN_BUSY ||
         status == XCST_BAD_HANDLE;
}

}  // namespace

std::string TokenLibraryInUse(const Settings &settings, std::string *out_from) {
  if (!settings.token_library.empty()) {
    *out_from = "--token-library";
    return settings.token_library;
  }
  *out_from = "loaded by obkey";
  std::string loaded = LoadedLibraryPath("xcsp_eclib");
  if (!loaded.empty()) return loaded;
  // obkey imports the token library: loading obkey shows which one.
  ObkeyApi api;
  std::string chosen, error;
  if (!LoadObkey(settings.library, &api, &chosen, &error)) {
    *out_from = "obkey cannot be loaded: " + error;
    return "";
  }
  return LoadedLibraryPath("xcsp_eclib");
}

bool UsesPkcs11(const Settings &settings) {
  std::string library = settings.token_library;
  if (library.empty()) library = LoadedLibraryPath("xcsp_eclib");
  return FolderName(library) == "p11token" || !p11::ConfiguredModulePath().empty();
}

ModuleProbe ProbeToken(const Environment &environment) {
  return p11::ProbeModule(environment.device_known ? environment.device : -1);
}

std::vector<Finding> Pkcs11Reach(const Environment &environment, const ModuleProbe &probe) {
  if (!environment.config_read && environment.device_from != "--device") {
    return DiagnoseReach(environment);  // the configuration's finding
  }
  switch (probe.status) {
    case 0:
      break;
    case P11ST_NO_MODULE:
      return {
          {"no PKCS #11 module is configured: p11token, the token library in use, loads "
           "the one $" +
               std::string(p11::kModuleEnvironmentVariable) + " or the value " +
               p11::kModuleConfigValueName + " names",
           NameModuleFix(environment)}};
    case P11ST_MODULE_LOAD:
      return {LoadFinding(environment, probe)};
    case P11ST_MODULE_INIT:
      return {InitFinding(probe)};
    case P11ST_LOCK_UNUSABLE:
      return {{probe.failure,
               "export OBKEY_PKCS11_LOCK_DIR=/a/folder/of/yours (an absolute path; "
               "$XDG_RUNTIME_DIR is one)"}};
    case P11ST_TOKEN_BUSY:
      return {{"another program held the PKCS #11 module's lock for 5 s",
               "let that program finish (or end it), then try again"}};
    default:
      return {{"the PKCS #11 module " + probe.module_path + " fails: " + probe.failure,
               Names(probe.module_path, "p11-kit-client")
                   ? "check that the p11-kit server ($P11_KIT_SERVER_ADDRESS) runs"
                   : "see the module's documentation and log"}};
  }
  if (!environment.device_known) return {};
  if (!probe.device_found) return {NoTokenFinding(environment, probe)};
  if (!probe.token_initialized) {
    const std::string device = DeviceText(environment);
    return {{"device " + device + " is " + TokenText(probe) + " of " + probe.module_path +
                 ": it was never formatted",
             "`obkeyctl format --device " + device + " --yes` initialises it"}};
  }
  return {};
}

std::vector<Finding> Pkcs11Findings(int32_t status, const Environment &environment,
                                    bool explained) {
  const bool reach = ReachStatus(status);
  if (!reach && explained) return {};
  if (status == P11ST_INIT_IGNORED) {
    ModuleProbe probe = ProbeToken(environment);
    return {{"the PKCS #11 module " + probe.module_path +
                 " answered C_InitToken with CKR_OK but left the token in slot " +
                 std::to_string(probe.slot) +
                 " uninitialised: it does not initialise tokens through PKCS #11",
             "initialise the token with that module's own tool (its maker's manager or set-up "
             "program), with the SO PIN you will format with; `obkeyctl format` then erases "
             "obkey's objects on it and sets the user PIN"}};
  }
  if (!reach && !PinStatus(status)) return AnswerFindings(status, p11::ConfiguredModulePath());
  ModuleProbe probe = ProbeToken(environment);
  if (!reach) return PinFindings(status, probe);
  std::vector<Finding> findings = Pkcs11Reach(environment, probe);
  // A module configured for a token library that does not use it.
  const std::string loaded = LoadedLibraryPath("xcsp_eclib");
  if (findings.empty() && !loaded.empty() && FolderName(loaded) != "p11token") {
    findings.push_back({"the PKCS #11 module " + probe.module_path +
                            " is configured, but obkey loaded the token library " + loaded +
                            ", which is not p11token and does not use it",
                        "give p11token's token library with --token-library PATH (the "
                        "libxcsp_eclib.so of a p11token folder), or drop the module from the "
                        "configuration to use " +
                            loaded});
  }
  if (findings.empty()) {
    findings.push_back({"obkeyctl reaches device " + DeviceText(environment) + " itself: " +
                            TokenText(probe) + " of the PKCS #11 module " + probe.module_path,
                        "it may have been busy or unplugged for a moment: try again; "
                        "OBKEY_DEBUG=1 prints p11token's own causes, --verbose every call"});
  }
  return findings;
}

std::vector<ShowLine> Pkcs11Lines(const Environment &environment, const ModuleProbe &probe) {
  std::vector<ShowLine> lines;
  if (probe.module_path.empty()) {
    lines.push_back({"PKCS11 module", "(none)", "missing"});
    return lines;
  }
  lines.push_back({"PKCS11 module", probe.module_path, ModuleFrom(probe)});
  lines.push_back({"init args", probe.init_args_set ? "set" : "not set",
                   probe.init_args_set ? InitArgsFrom(probe) : "none given"});
  const bool loaded = probe.status != P11ST_MODULE_LOAD && probe.status != P11ST_NO_MODULE &&
                      probe.status != P11ST_LOCK_UNUSABLE && probe.status != P11ST_TOKEN_BUSY;
  lines.push_back({"module load", loaded ? "loads" : "fails",
                   loaded ? "C_GetFunctionList found" : probe.failure});
  if (!loaded) return lines;
  lines.push_back({"C_Initialize", probe.initialize_result,
                   probe.status == P11ST_MODULE_INIT ? probe.failure : "accepted"});
  if (probe.status != 0) return lines;
  std::string device = environment.device_known ? std::to_string(environment.device) : "N";
  if (probe.device_found) {
    lines.push_back({"token",
                     TokenText(probe) + (probe.model.empty() ? "" : ", model " + probe.model),
                     "device " + device});
  } else {
    lines.push_back({"token", "none for device " + device,
                     "the module lists " + std::to_string(probe.token_count) + " token(s)"});
  }
  return lines;
}

std::string Pkcs11Target(const ModuleProbe &probe) {
  return TokenText(probe) + " of the PKCS #11 module " + probe.module_path;
}

namespace {

// FixedPinFits says whether obkey's fixed admin PIN is of a length the
// token takes (a module that gives no lengths takes it).
bool FixedPinFits(const ModuleProbe &probe) {
  const size_t fixed = std::strlen(KEY_OPERATION_ADMIN_PIN);
  return probe.max_pin_len == 0 || (fixed >= probe.min_pin_len && fixed <= probe.max_pin_len);
}

std::string PinLengths(const ModuleProbe &probe) {
  return std::to_string(probe.min_pin_len) + " to " + std::to_string(probe.max_pin_len) +
         " characters";
}

const char kGiveSoPin[] = "obkeyctl format --so-pin-file FILE (or --so-pin-stdin)";

}  // namespace

std::string SoPinNote(const ModuleProbe &probe) {
  if (FixedPinFits(probe)) {
    return std::string(" (re-formatting needs its SO PIN to be ") + KEY_OPERATION_ADMIN_PIN + ")";
  }
  return " (its SO PIN is of " + PinLengths(probe) + ", which obkey's fixed " +
         KEY_OPERATION_ADMIN_PIN + " is not: give the token's own with --so-pin-file)";
}

std::vector<Finding> Pkcs11FormatFindings(int32_t status, const Environment &environment,
                                          bool own_so_pin) {
  if (status != XCST_ADMIN_PIN_INCORRECT && status != XCST_PIN_LENGTH &&
      status != static_cast<int32_t>(P11ST_CKR_BASE | CKR_FUNCTION_NOT_SUPPORTED)) {
    return {};
  }
  ModuleProbe probe = ProbeToken(environment);
  const std::string the_module = "the PKCS #11 module " + probe.module_path;
  if (status == static_cast<int32_t>(P11ST_CKR_BASE | CKR_FUNCTION_NOT_SUPPORTED)) {
    return {{the_module + " does not initialise tokens: C_InitToken answered " +
                 "CKR_FUNCTION_NOT_SUPPORTED",
             "initialise the token with that module's own tool (its maker's manager or set-up "
             "program); `obkeyctl format` then erases obkey's objects on it"}};
  }
  const std::string lengths = probe.max_pin_len != 0 ? PinLengths(probe) : "";
  if (own_so_pin) {
    if (status == XCST_PIN_LENGTH) {
      return {{the_module + " takes SO PINs of " + lengths, "give an SO PIN of that length"}};
    }
    return {{"the token refused the SO PIN given",
             "give the SO PIN the token was initialised with (its maker's tool, or "
             "softhsm2-util --init-token --so-pin, set it)"}};
  }
  if (!FixedPinFits(probe)) {
    return {{the_module + " takes SO PINs of " + lengths + ": obkey's fixed admin PIN " +
                 KEY_OPERATION_ADMIN_PIN + " (" +
                 std::to_string(std::strlen(KEY_OPERATION_ADMIN_PIN)) +
                 " characters) cannot be this token's SO PIN",
             std::string("format with the token's own SO PIN: ") + kGiveSoPin}};
  }
  return {
      {std::string("the token's SO PIN is not obkey's fixed admin PIN ") + KEY_OPERATION_ADMIN_PIN,
       std::string("give the token's own SO PIN: ") + kGiveSoPin}};
}

void LogInToSeeObjects(Context &context, const Args &args) {
  if (!UsesPkcs11(context.settings)) return;
  ModuleProbe probe = ProbeToken(DescribeEnvironment(context.settings));
  if (probe.status != 0 || !probe.data_objects_private) return;
  bool given = false;
  for (const char *option : {"pin", "pin-file", "pin-env", "pin-stdin"}) given |= args.Has(option);
  const std::string why = "the PKCS #11 module " + probe.module_path +
                          " makes no public data object, so it keeps obkey's objects private: "
                          "they are seen only after a login";
  if (!given && !IsTerminal(0)) {
    UsageError("`" + context.command_words + "` needs the user PIN: " + why +
               "; give --pin-file FILE, --pin-env VAR or --pin-stdin");
  }
  if (!given) context.Note(why);
  context.LogIn(args);
}

}  // namespace obkeyctl

// obkeyctl: a command-line client of the obkey library. It loads obkey the
// way any client does and offers one command per user task.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "diagnose.h"
#include "system.h"

#ifndef OBKEYCTL_VERSION
#define OBKEYCTL_VERSION "unknown"
#endif

namespace obkeyctl {
namespace {

// The global help names each platform's own defaults.
std::string GlobalHelp() {
  const bool windows = HasRegistry();
  std::string text =
      "usage: obkeyctl [global options] COMMAND [arguments] [options]\n"
      "\n"
      "obkeyctl uses a USB token (or the software token that stands in for one)\n"
      "through the obkey library: PINs, keys, signatures, certificates, files, and\n"
      "software symmetric keys.\n"
      "\n"
      "Global options (before or after the command):\n";
  text += windows ? "  --library PATH    the obkey library to load (default %OBKEY_LIBRARY%, else\n"
                    "                    obkey.dll beside obkeyctl.exe)\n"
                  : "  --library PATH    the obkey library to load (default $OBKEY_LIBRARY, else\n"
                    "                    the system's libobkey.so)\n";
  text +=
      "  --token-library PATH  the token library obkey is to use instead of the one\n"
      "                    beside it, e.g. the PKCS #11 token library (below)\n";
  text += windows ? "  --registry FILE   not on Windows: the configuration is the registry value\n"
                    "                    HKLM\\SOFTWARE\\orbisoft\\Implement Type\\USBKEY\n"
                  : "  --registry FILE   the configuration file that stands in for the registry\n"
                    "                    (default $OBKEY_REGISTRY, else /etc/obkey/registry.reg)\n";
  text += windows
              ? "  --device N        the device for format and config init (the registry\n"
                "                    names it for every other command)\n"
              : "  --device N        use device N for this run only (a private configuration)\n";
  text += windows
              ? "  --token-dir DIR   the software token's folder (default %XCSP_TOKEN_DIR%,\n"
                "                    else %LOCALAPPDATA%\\obkey\\tokens)\n"
              : "  --token-dir DIR   the software token's folder (default $XCSP_TOKEN_DIR, else\n"
                "                    ~/.local/share/obkey/tokens)\n";
  text += windows ? "  --log FILE        not on Windows: the diagnostic log is c:\\xml816.log\n"
                  : "  --log FILE        the diagnostic log (default $OBKEY_LOG, else\n"
                    "                    ~/.local/state/obkey/xml816.log)\n";
  text +=
      "  --quiet           print only results and errors (not what was written)\n"
      "  --verbose         also print each library call with its status\n"
      "  --version         print the version\n"
      "  --help, -h        this text; `obkeyctl COMMAND --help` for one command\n"
      "\n"
      "PINs: give them with --pin-file FILE, --pin-env VAR or --pin-stdin; on a\n"
      "terminal obkeyctl asks without echo. --pin PIN also works but every user of\n"
      "the machine can read it (ps, /proc). Commands that need no PIN accept\n"
      "these options and leave them unread.\n"
      "\n"
      "Files: '-' is standard input or output. Binary results are written raw to\n"
      "files and pipes, as hex on a terminal or with --hex. Keys and certificates\n"
      "take --inform/--outform pem|der. Secret results are written with mode 0600.\n"
      "\n"
      "Exit status: 0 done, 1 the operation failed, 2 wrong command line, 3 the\n"
      "token cannot be reached, 4 the PIN was refused or is locked.\n"
      "\n"
      "Commands:\n";
  return text;
}

// P11TokenLibraryPath is where the token library over PKCS #11 is for this
// obkeyctl: beside it in the installed tree, the zip or the build tree.
std::string P11TokenLibraryPath() {
  const bool windows = HasRegistry();
  const std::string library = windows ? "p11token/xcsp_eclib.dll" : "p11token/libxcsp_eclib.so";
  for (const std::string &from_bin :
       {std::string("../") + OBKEYCTL_LIBDIR + "/obkey/" + library, "../" + library}) {
    std::string found = ExistingFileNear(from_bin);
    if (!found.empty()) return found;
  }
  return windows ? "p11token\\xcsp_eclib.dll (in the zip, beside bin)"
                 : std::string("<libdir>/obkey/") + library + " (not found beside this obkeyctl)";
}

// What a PKCS #11 token needs, told in each platform's own terms.
std::string Pkcs11Help() {
  const bool windows = HasRegistry();
  std::string text =
      "\n"
      "A PKCS #11 token (smart card, USB token, HSM, SoftHSMv2) through p11token:\n";
  text += "  --token-library " + P11TokenLibraryPath() + "\n";
  text += windows ? "  set OBKEY_PKCS11_MODULE=C:\\path\\to\\module.dll, or the registry value\n"
                    "                    PKCS11Module beside USBKEY\n"
                  : "  export OBKEY_PKCS11_MODULE=/path/to/module.so (or \"PKCS11Module\" beside\n"
                    "                    USBKEY in the configuration file)\n";
  text +=
      "  OBKEY_PKCS11_INIT_ARGS (or PKCS11InitArgs): C_Initialize arguments, for\n"
      "                    modules that want them\n"
      "  device N is the (N+1)-th slot with a token; format needs the token's SO\n"
      "  PIN to be ZARQU.1974 (or a token not yet initialised).\n"
      "  `obkeyctl diagnose` checks the module: loads, C_Initialize, slot, label.\n";
  return text;
}

constexpr char kGettingStarted[] =
    "\n"
    "From nothing to a signature that openssl checks (software token):\n"
    "  obkeyctl config init --device 0 --file ~/obkey.reg\n"
    "  export OBKEY_REGISTRY=~/obkey.reg\n"
    "  obkeyctl format --yes                       # the user PIN becomes 12345678\n"
    "  obkeyctl change-pin                         # asks the old PIN and the new one\n"
    "  obkeyctl genkey MY_SIG --type sig           # asks the PIN\n"
    "  obkeyctl sign message.txt --digest sha256 --out message.sig\n"
    "  obkeyctl export-pubkey 'MY_SIG\\03' --out signer.pem\n"
    "  openssl dgst -sha256 -verify signer.pem -signature message.sig message.txt\n"
    "  obkeyctl list                               # everything on the token\n"
    "\n"
    "See obkeyctl(1) for more.\n";

std::string g_private_dir;
std::string g_private_file;

void RemovePrivateConfiguration() {
  RemovePrivateDirectory(g_private_dir, g_private_file);
  g_private_dir.clear();
  g_private_file.clear();
}

// --device on POSIX: a configuration naming the device, in a fresh folder
// only this user can enter, so that nobody can plant a file or a link at
// its name; removed at exit.
void UsePrivateConfiguration(const Settings &settings) {
  std::string error;
  if (!MakePrivateDirectory(&g_private_dir, &error)) {
    Failure("--device: cannot make a private folder for the configuration: " + error,
            {{"the temporary folder is not writable", "set TMPDIR to a folder of your own"}});
  }
  std::atexit(RemovePrivateConfiguration);
  g_private_file = g_private_dir + "/registry.reg";
  int32_t device = static_cast<int32_t>(std::strtol(settings.device.c_str(), nullptr, 10));
  std::string text = RegistryFileText(ConfigValueForDevice(device));
  if (!WriteFileAtomically(g_private_file, reinterpret_cast<const uint8_t *>(text.data()),
                           text.size(), 0600, &error)) {
    Failure("--device: cannot write " + g_private_file + ": " + error);
  }
  SetEnvironment("OBKEY_REGISTRY", g_private_file);
}

std::vector<std::string> SplitWords(const std::string &words) {
  std::vector<std::string> split;
  size_t start = 0;
  while (start < words.size()) {
    size_t space = words.find(' ', start);
    if (space == std::string::npos) space = words.size();
    split.push_back(words.substr(start, space - start));
    start = space + 1;
  }
  return split;
}

// Number of arguments from `from` on that spell `command`'s words, or 0.
size_t MatchWords(const Command &command, const std::vector<std::string> &args, size_t from) {
  std::vector<std::string> words = SplitWords(command.words);
  if (args.size() - from < words.size()) return 0;
  for (size_t i = 0; i < words.size(); ++i) {
    if (args[from + i] != words[i]) return 0;
  }
  return words.size();
}

std::string CommandList(const std::vector<Command> &table, const std::string &prefix) {
  std::string text;
  for (const Command &command : table) {
    if (std::string(command.words).rfind(prefix, 0) != 0) continue;
    std::string left = command.words;
    if (command.arguments[0] != '\0') left += std::string(" ") + command.arguments;
    char line[256];
    std::snprintf(line, sizeof(line), "  %-28s %s\n", left.c_str(), command.summary);
    text += line;
  }
  return text;
}

bool IsHelp(const std::string &arg) {
  return arg == "--help" || arg == "-h";
}

int Run(const std::vector<std::string> &args, Settings *settings) {
  std::vector<Command> table;
  AddConfigCommands(&table);
  AddTokenCommands(&table);
  AddInventoryCommands(&table);
  AddKeyCommands(&table);
  AddFileCommands(&table);
  AddSymmetricKeyCommands(&table);
  AddEnrollmentCommands(&table);

  bool help = false;
  for (const std::string &arg : args) {
    if (arg == "--") break;
    if (arg == "--version") {
      std::printf("obkeyctl %s\n", OBKEYCTL_VERSION);
      return kExitOk;
    }
    help |= IsHelp(arg);
  }

  // Global options may stand before the command.
  size_t next = 0;
  while (next < args.size() && args[next].compare(0, 2, "--") == 0 && !IsHelp(args[next])) {
    std::string name = args[next].substr(2), value;
    size_t equals = name.find('=');
    bool inline_value = equals != std::string::npos;
    if (inline_value) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    bool takes_value = false;
    if (!IsGlobalOption(name, &takes_value)) {
      UsageError("unknown global option --" + name + " (a command's options go after it)");
    }
    if (takes_value && !inline_value) {
      if (next + 1 >= args.size()) UsageError("option --" + name + " needs a value");
      value = args[++next];
    }
    ApplyGlobalOption(name, value, settings);
    ++next;
  }
  while (next < args.size() && IsHelp(args[next])) ++next;

  if (next >= args.size()) {
    std::string text = GlobalHelp() + CommandList(table, "") + kGettingStarted + Pkcs11Help();
    std::fputs(text.c_str(), help ? stdout : stderr);
    return help ? kExitOk : kExitUsage;
  }

  const Command *chosen = nullptr;
  size_t used = 0;
  for (const Command &command : table) {
    size_t matched = MatchWords(command, args, next);
    if (matched > used) {
      chosen = &command;
      used = matched;
    }
  }
  if (chosen == nullptr) {
    std::string group = args[next] + " ";
    std::string list = CommandList(table, group);
    if (list.empty())
      UsageError("unknown command '" + args[next] + "' (obkeyctl --help lists them)");
    if (help) {
      std::printf("commands of %s:\n%s", args[next].c_str(), list.c_str());
      return kExitOk;
    }
    std::string wrong = next + 1 < args.size() ? " '" + args[next + 1] + "'" : "";
    std::fprintf(stderr, "obkeyctl: %s needs one of its commands%s:\n%s", args[next].c_str(),
                 wrong.empty() ? "" : (", not" + wrong).c_str(), list.c_str());
    return kExitUsage;
  }
  if (help) {
    std::fputs(CommandHelp(*chosen).c_str(), stdout);
    return kExitOk;
  }

  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(next + used),
                                args.end());
  Args parsed = ParseCommandArgs(*chosen, rest, settings);
  Context context;
  context.settings = *settings;
  context.command_words = chosen->words;
  std::string words = chosen->words;
  bool takes_device =
      words == "format" || words == "backup" || words == "restore" || words.rfind("config", 0) == 0;
  if (!settings->device.empty() && !takes_device) {
    if (HasRegistry()) {
      UsageError(
          "--device: on Windows the registry value USBKEY chooses the device; set it "
          "with `obkeyctl config init --device " +
          settings->device + "`");
    }
    UsePrivateConfiguration(*settings);
  }
  int status = chosen->run(context, parsed);
  if (status == kExitOk && !settings->quiet) ReportWritten();
  return status;
}

}  // namespace
}  // namespace obkeyctl

int main(int argc, char **argv) {
  obkeyctl::UseBinaryStdio();
  std::vector<std::string> args(argv + 1, argv + argc);
  obkeyctl::Settings settings;
  int status = obkeyctl::kExitFailed;
  try {
    status = obkeyctl::Run(args, &settings);
  } catch (const obkeyctl::Stop &stop) {
    std::fprintf(stderr, "obkeyctl: %s\n", stop.message.c_str());
    for (const obkeyctl::Finding &finding : stop.findings) {
      std::fprintf(stderr, "  cause: %s\n", finding.cause.c_str());
      if (!finding.fix.empty()) std::fprintf(stderr, "  fix:   %s\n", finding.fix.c_str());
    }
    if (stop.exit_status == obkeyctl::kExitUsage && stop.findings.empty()) {
      std::fprintf(stderr, "(obkeyctl --help, or obkeyctl COMMAND --help)\n");
    }
    status = stop.exit_status;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "obkeyctl: %s\n", error.what());
  }
  std::fflush(stdout);
  obkeyctl::RemovePrivateConfiguration();
  return status;
}

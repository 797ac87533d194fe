// obkeyctl: a command-line client of the obkey library. It loads obkey the
// way any client does and offers one command per user task.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/obkeyctl/cli.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace obkeyctl {
namespace {

constexpr char kGlobalHelp[] =
    "usage: obkeyctl [global options] <command> [arguments] [--help]\n"
    "\n"
    "global options:\n"
    "  --library PATH    the obkey library to load (default: $OBKEY_LIBRARY, else the\n"
    "                    platform's name for it)\n"
    "  --registry FILE   the configuration file that stands in for the registry\n"
    "                    (sets $OBKEY_REGISTRY; not on Windows)\n"
    "  --device N        use device N: a private configuration naming it is made for\n"
    "                    this run (not on Windows, where the registry decides)\n"
    "  --token-dir DIR   where software token stores live (sets $XCSP_TOKEN_DIR)\n"
    "  --log FILE        the diagnostic log (sets $OBKEY_LOG; not on Windows)\n"
    "\n"
    "Statuses are shown by name and number; the exit code is 0 on success,\n"
    "1 when a call fails, 2 for a wrong command line.\n"
    "\n"
    "commands:\n";

void SetEnv(const char *name, const std::string &value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

#if defined(_WIN32)
// The registry, not a file, names the device on Windows.
bool UseDevice(const std::string &) {
  return false;
}
#else
// A private configuration file that names `device`, removed at exit.
std::string g_private_registry;

void RemovePrivateRegistry() {
  if (!g_private_registry.empty()) std::remove(g_private_registry.c_str());
}

bool UseDevice(const std::string &device) {
  const char *tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/obkeyctl-XXXXXX.reg";
  // A fresh name, created exclusively and private to the user: a file or
  // link that another user planted in the shared folder is never written.
  int fd = mkstemps(path.data(), 4);
  if (fd < 0) return false;
  g_private_registry = path;
  std::FILE *file = fdopen(fd, "w");
  if (file == nullptr) {
    close(fd);
    RemovePrivateRegistry();
    return false;
  }
  std::fprintf(file,
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n"
               "\"USBKEY\"=\"XCSP_KEY_%s\"\n",
               device.c_str());
  std::fclose(file);
  std::atexit(RemovePrivateRegistry);
  SetEnv("OBKEY_REGISTRY", g_private_registry);
  return true;
}
#endif

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

// Number of leading arguments that spell `command`'s words, or 0.
size_t MatchWords(const Command &command, const std::vector<std::string> &args, size_t from) {
  std::vector<std::string> words = SplitWords(command.words);
  if (args.size() - from < words.size()) return 0;
  for (size_t i = 0; i < words.size(); ++i) {
    if (args[from + i] != words[i]) return 0;
  }
  return words.size();
}

void PrintCommands(const std::vector<Command> &table, const std::string &prefix) {
  for (const Command &command : table) {
    if (command.words.rfind(prefix, 0) != 0) continue;
    std::printf("  %-40s %s\n", (command.words + " " + command.usage).c_str(),
                command.summary.c_str());
  }
}

bool IsHelp(const std::string &arg) {
  return arg == "--help" || arg == "-h";
}

Args ParseArgs(const std::vector<std::string> &args, size_t from) {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  for (size_t i = from; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg.substr(2);
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        options[name.substr(0, equals)] = name.substr(equals + 1);
      } else if (i + 1 < args.size() && args[i + 1].compare(0, 2, "--") != 0) {
        options[name] = args[++i];
      } else {
        options[name] = "";
      }
    } else {
      positional.push_back(arg);
    }
  }
  return Args(positional, options);
}

int Run(const std::vector<std::string> &args) {
  std::vector<Command> table;
  AddTokenCommands(&table);
  AddKeyCommands(&table);
  AddFileCommands(&table);
  AddSymmetricKeyCommands(&table);
  AddEnrollmentCommands(&table);

  std::string library;
  size_t next = 0;
  for (; next < args.size() && args[next].compare(0, 2, "--") == 0; ++next) {
    const std::string &option = args[next];
    if (IsHelp(option)) break;
    if (next + 1 >= args.size()) return Fail("option " + option + " needs a value");
    const std::string &value = args[++next];
    if (option == "--library") {
      library = value;
    } else if (option == "--registry") {
      SetEnv("OBKEY_REGISTRY", value);
    } else if (option == "--token-dir") {
      SetEnv("XCSP_TOKEN_DIR", value);
    } else if (option == "--log") {
      SetEnv("OBKEY_LOG", value);
    } else if (option == "--device") {
      if (!UseDevice(value)) return Fail("--device is not available here; set USBKEY instead");
      SetEnv("OBKEYCTL_DEVICE", value);
    } else {
      return Fail("unknown global option " + option);
    }
  }
  if (next >= args.size() || IsHelp(args[next])) {
    std::printf("%s", kGlobalHelp);
    PrintCommands(table, "");
    return next >= args.size() ? 2 : 0;
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
    // A group word alone ("file", "cert --help") lists its commands.
    std::string group = args[next] + " ";
    bool any = false;
    for (const Command &command : table) any |= command.words.rfind(group, 0) == 0;
    if (!any) return Fail("unknown command " + args[next]);
    std::printf("commands of %s:\n", args[next].c_str());
    PrintCommands(table, group);
    return next + 1 < args.size() && IsHelp(args[next + 1]) ? 0 : 2;
  }
  for (size_t i = next + used; i < args.size(); ++i) {
    if (IsHelp(args[i])) {
      std::printf("usage: obkeyctl %s %s\n  %s\n", chosen->words.c_str(), chosen->usage.c_str(),
                  chosen->summary.c_str());
      return 0;
    }
  }

  Context context;
  std::string error;
  if (!LoadObkey(library, &context.api, &error)) {
    std::fprintf(stderr, "obkeyctl: %s\n", error.c_str());
    return 1;
  }
  return chosen->run(context, ParseArgs(args, next + used));
}

}  // namespace
}  // namespace obkeyctl

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return obkeyctl::Run(args);
}

#include "cli.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "diagnose.h"
#include "obkey_types.h"
#include "pkcs11_view.h"
#include "softtoken_status.h"
#include "status_text.h"
#include "system.h"
#include "token_answer.h"
#include "token_library.h"

namespace obkeyctl {
namespace {

struct OptionRule {
  std::string name;
  bool takes_value = false;
  std::vector<std::string> choices;
  bool required = false;
};

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::vector<OptionRule> OptionRules(const char *spec) {
  std::vector<OptionRule> rules;
  for (std::string item : Split(spec, ' ')) {
    if (item == "@pin" || item == "@new-pin") {
      std::string prefix = item.substr(1);
      rules.push_back({prefix, true, {}, false});
      rules.push_back({prefix + "-file", true, {}, false});
      rules.push_back({prefix + "-env", true, {}, false});
      rules.push_back({prefix + "-stdin", false, {}, false});
      continue;
    }
    if (item == "@out") {
      rules.push_back({"out", true, {}, false});
      rules.push_back({"hex", false, {}, false});
      continue;
    }
    OptionRule rule;
    if (item.back() == '!') {
      rule.required = true;
      item.pop_back();
    }
    size_t equals = item.find('=');
    rule.name = item.substr(0, equals);
    if (equals != std::string::npos) {
      rule.takes_value = true;
      rule.choices = Split(item.substr(equals + 1), '|');
    }
    rules.push_back(rule);
  }
  return rules;
}

bool IsPinOption(const std::string &name, bool *out_takes_value) {
  *out_takes_value = name == "pin" || name == "pin-file" || name == "pin-env";
  return *out_takes_value || name == "pin-stdin";
}

const OptionRule *FindRule(const std::vector<OptionRule> &rules, const std::string &name) {
  for (const OptionRule &rule : rules) {
    if (rule.name == name) return &rule;
  }
  return nullptr;
}

std::string JoinChoices(const std::vector<std::string> &choices, const char *separator) {
  std::string text;
  for (size_t i = 0; i < choices.size(); ++i) text += (i ? separator : "") + choices[i];
  return text;
}

// Metavariables and descriptions of the options, shared by every command.
struct OptionHelp {
  const char *name;
  const char *value;
  const char *text;
};
const OptionHelp kOptionHelp[] = {
    {"out", "FILE", "write the result to FILE ('-' or absent: standard output)"},
    {"hex", "", "write a binary result as hex (the default on a terminal)"},
    {"pin", "PIN", "the user PIN; VISIBLE TO OTHER USERS (ps), prefer the next three"},
    {"pin-file", "FILE", "read the user PIN from the first line of FILE"},
    {"pin-env", "VAR", "read the user PIN from environment variable VAR"},
    {"pin-stdin", "", "read the user PIN from the first line of standard input"},
    {"new-pin", "PIN", "the new PIN; VISIBLE TO OTHER USERS (ps)"},
    {"new-pin-file", "FILE", "read the new PIN from the first line of FILE"},
    {"new-pin-env", "VAR", "read the new PIN from environment variable VAR"},
    {"new-pin-stdin", "", "read the new PIN from standard input (after --pin-stdin's line)"},
    {"so-pin-file", "FILE", "read the token's own SO PIN from the first line of FILE"},
    {"so-pin-stdin", "", "read the token's own SO PIN from standard input"},
    {"type", "", "which key pair: sig (signature) or enc (exchange, encryption)"},
    {"force", "", "replace what is there (a key pair: its private key is lost)"},
    {"yes", "", "do not ask; needed when standard input is not a terminal"},
    {"digest", "",
     "the digest whose DigestInfo is signed (default sha256, as openssl dgst -sha256 "
     "-verify checks; sha1 on request); none: the file itself (at most 117 bytes, or 128)"},
    {"key", "", "decrypt with the exchange (enc, default) or the signature (sig) key"},
    {"inform", "", "the input's form (default: recognised from the contents)"},
    {"pass-file", "FILE", "read the key file's password from the first line of FILE"},
    {"pass-stdin", "", "read the key file's password from the first line of standard input"},
    {"outform", "", "the output's form"},
    {"store", "", "0: the label directory (default); 1: only the two certificate labels"},
    {"alg", "", "the algorithm"},
    {"mode", "", "the triple-DES mode (default cbc)"},
    {"len", "N", "key length in bytes (3des: 16 or 24, default 24; rc4: 1 to 256, default 16)"},
    {"wrap-token", "KEYNAME", "wrap under the token's exchange key, e.g. 'MY_ENC\\01'"},
    {"wrap-pub", "FILE", "wrap under an RSA public key or certificate (PEM or DER)"},
    {"subject", "DN", "the request's subject, e.g. '/O=Example/CN=Alice'"},
    {"pkcs7", "FILE", "the signature certificate as PKCS #7 ('-' standard input)"},
    {"file", "PATH", "the configuration file to write (default: the one obkey reads)"},
    {"device", "N", "the device index"},
};

const OptionHelp *HelpOf(const std::string &name) {
  for (const OptionHelp &help : kOptionHelp) {
    if (name == help.name) return &help;
  }
  return nullptr;
}

// RuleUsage is the option as a usage line shows it: its name, then its
// metavariable or its choices.
std::string RuleUsage(const OptionRule &rule) {
  std::string text = "--" + rule.name;
  if (rule.takes_value) {
    const OptionHelp *help = HelpOf(rule.name);
    text +=
        " " + (rule.choices.empty() ? std::string(help && help->value[0] ? help->value : "VALUE")
                                    : JoinChoices(rule.choices, "|"));
  }
  return text;
}

bool g_stdin_used = false;
std::vector<std::string> g_written;  // what WriteOutput wrote, for ReportWritten
std::string g_command_words;

void UseStdin(const std::string &by) {
  if (g_stdin_used) {
    UsageError("standard input is read twice (" + by +
               " and another '-' or --pin-stdin); give one of them a file");
  }
  g_stdin_used = true;
}

// StdinLine reads a line of standard input into `out_line` (a PIN's lands
// in a wiping string).
template <typename Text>
void StdinLine(Text *out_line) {
  out_line->clear();
  int c = 0;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') out_line->push_back(static_cast<char>(c));
  if (!out_line->empty() && out_line->back() == '\r') out_line->pop_back();
}

void FirstLine(const obkey::SecretBytes &bytes, obkey::SecretString *out_line) {
  out_line->clear();
  for (uint8_t byte : bytes) {
    if (byte == '\n') break;
    out_line->push_back(static_cast<char>(byte));
  }
  if (!out_line->empty() && out_line->back() == '\r') out_line->pop_back();
}

template <typename Text>
void AppendHex(const uint8_t *bytes, size_t len, Text *out_text) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    out_text->push_back(digits[bytes[i] >> 4]);
    out_text->push_back(digits[bytes[i] & 15]);
  }
}

}  // namespace

[[noreturn]] void UsageError(const std::string &message) {
  throw Stop{kExitUsage, message, {}};
}

[[noreturn]] void Failure(const std::string &message, std::vector<Finding> findings) {
  throw Stop{kExitFailed, message, std::move(findings)};
}

std::string Args::Get(const std::string &option, const std::string &fallback) const {
  auto found = options_.find(option);
  return found == options_.end() ? fallback : found->second;
}

uint32_t Args::Number(const std::string &option, uint32_t fallback) const {
  auto found = options_.find(option);
  if (found == options_.end()) return fallback;
  const std::string &text = found->second;
  char *end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || value > 0xFFFFFFFFull) {
    UsageError("--" + option + " " + text + ": not a number");
  }
  return static_cast<uint32_t>(value);
}

bool IsGlobalOption(const std::string &name, bool *out_takes_value) {
  static const std::set<std::string> with_value = {"library",   "registry", "device",
                                                   "token-dir", "log",      "token-library"};
  static const std::set<std::string> flags = {"quiet", "verbose"};
  *out_takes_value = with_value.count(name) != 0;
  return *out_takes_value || flags.count(name) != 0;
}

void ApplyGlobalOption(const std::string &name, const std::string &value, Settings *settings) {
  if (name == "library") {
    settings->library = value;
  } else if (name == "token-library") {
    settings->token_library = value;
  } else if (name == "registry") {
    if (HasRegistry()) {
      UsageError("--registry: on Windows the configuration is the registry itself");
    } else {
      SetEnvironment("OBKEY_REGISTRY", value);
      settings->registry_from = "--registry";
    }
  } else if (name == "token-dir") {
    SetEnvironment("XCSP_TOKEN_DIR", value);
    settings->token_dir_from = "--token-dir";
  } else if (name == "log") {
    if (HasRegistry()) {
      UsageError("--log: on Windows the log is always c:\\xml816.log");
    } else {
      SetEnvironment("OBKEY_LOG", value);
      settings->log_from = "--log";
    }
  } else if (name == "device") {
    char *end = nullptr;
    long device = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || device < 0 || device > 0x7FFFFFFF) {
      UsageError("--device " + value + ": not a device number (0, 1, ...)");
    }
    settings->device = std::to_string(device);
  } else if (name == "quiet") {
    settings->quiet = true;
  } else if (name == "verbose") {
    settings->verbose = true;
  }
}

Args ParseCommandArgs(const Command &command, const std::vector<std::string> &args,
                      Settings *settings) {
  g_command_words = command.words;
  const std::string where = std::string("`") + command.words + "`";
  std::vector<OptionRule> rules = OptionRules(command.options);
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::set<std::string> globals_seen;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      UsageError("unknown option " + arg + " for " + where + " (options are spelt --name)");
    }
    std::string name = arg.substr(2);
    std::string value;
    size_t equals = name.find('=');
    bool inline_value = equals != std::string::npos;
    if (inline_value) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    bool global_value = false;
    bool global = IsGlobalOption(name, &global_value);
    // A global option in a command's own list is one the command needs: it
    // is applied as a global one and counted for the required check.
    const OptionRule *rule = FindRule(rules, name);
    // Scripts pass the PIN to every command: one that needs none takes the
    // PIN options and leaves them unread.
    bool pin_value = false;
    if (!global && rule == nullptr && FindRule(rules, "pin") == nullptr &&
        IsPinOption(name, &pin_value)) {
      if (pin_value && !inline_value) {
        if (i + 1 >= args.size()) UsageError("option --" + name + " needs a value");
        ++i;
      }
      continue;
    }
    if (!global && rule == nullptr) {
      std::string known;
      for (const OptionRule &each : rules)
        known += (known.empty() ? "" : ", ") + ("--" + each.name);
      UsageError("unknown option --" + name + " for " + where +
                 (known.empty() ? " (it takes no options)" : " (it takes " + known + ")"));
    }
    bool takes_value = global ? global_value : rule->takes_value;
    if (takes_value && !inline_value) {
      if (i + 1 >= args.size() || args[i + 1].compare(0, 2, "--") == 0) {
        UsageError("option --" + name + " needs a value");
      }
      value = args[++i];
    } else if (!takes_value && inline_value) {
      UsageError("option --" + name + " takes no value");
    }
    if (global) {
      if (!globals_seen.insert(name).second) UsageError("option --" + name + " is given twice");
      ApplyGlobalOption(name, value, settings);
      if (rule != nullptr) options[name] = value;
      continue;
    }
    if (options.count(name) != 0) UsageError("option --" + name + " is given twice");
    if (!rule->choices.empty()) {
      bool accepted = false;
      for (const std::string &choice : rule->choices) accepted |= choice == value;
      if (!accepted) {
        UsageError("--" + name + " " + (value.empty() ? "''" : value) + ": not one of " +
                   JoinChoices(rule->choices, ", "));
      }
    }
    options[name] = value;
  }
  for (const OptionRule &rule : rules) {
    if (rule.required && options.count(rule.name) == 0) {
      UsageError(where + " needs " + RuleUsage(rule));
    }
  }
  std::vector<std::string> names = Split(command.arguments, ' ');
  size_t required = 0;
  for (const std::string &name : names) required += name[0] != '[';
  // A last argument spelt "NAME..." takes one or more.
  if (!names.empty() && names.back().size() > 3 &&
      names.back().compare(names.back().size() - 3, 3, "...") == 0) {
    while (names.size() < positional.size()) names.push_back(names.back());
  }
  if (positional.size() < required) {
    UsageError(where + " needs " + names[positional.size()] + " (usage: " + UsageLine(command) +
               ")");
  }
  if (positional.size() > names.size()) {
    UsageError(
        "unexpected argument '" + positional[names.size()] + "': " + where +
        (names.empty() ? " takes no arguments" : " takes " + std::string(command.arguments)));
  }
  return Args(positional, options);
}

std::string UsageLine(const Command &command) {
  std::string line = std::string("obkeyctl ") + command.words;
  if (command.arguments[0] != '\0') line += std::string(" ") + command.arguments;
  std::string spec = command.options;
  for (const OptionRule &rule : OptionRules(command.options)) {
    if (rule.name.compare(0, 3, "pin") == 0 || rule.name.compare(0, 7, "new-pin") == 0 ||
        rule.name == "hex") {
      continue;
    }
    line += rule.required ? " " + RuleUsage(rule) : " [" + RuleUsage(rule) + "]";
  }
  if (spec.find("@out") != std::string::npos) line += " [--hex]";
  if (spec.find("@pin") != std::string::npos) line += " [PIN option]";
  if (spec.find("@new-pin") != std::string::npos) line += " [new-PIN option]";
  return line;
}

std::string CommandHelp(const Command &command) {
  std::string text = "usage: " + UsageLine(command) + "\n\n" + command.summary + ".\n";
  std::vector<OptionRule> rules = OptionRules(command.options);
  if (!rules.empty()) text += "\noptions:\n";
  for (const OptionRule &rule : rules) {
    const OptionHelp *help = HelpOf(rule.name);
    std::string left = RuleUsage(rule);
    char line[512];
    std::snprintf(line, sizeof(line), "  %-26s %s%s\n", left.c_str(), help ? help->text : "",
                  rule.required ? " (required)" : "");
    text += line;
  }
  if (command.help[0] != '\0') text += std::string("\n") + command.help;
  text += "\nGlobal options, exit statuses: obkeyctl --help.\n";
  return text;
}

std::string StatusName(int32_t status) {
  const char *name = obkey::StatusName(status);
  return name != nullptr ? name : "UNKNOWN";
}

std::string StatusText(int32_t status) {
  std::string named = obkey::Pkcs11StatusText(status);
  if (!named.empty()) return named;
  const char *text = obkey::StatusText(status);
  if (text != nullptr) return text;
  return "not a status of obkey or of the libraries shipped with it; it comes from the token, "
         "formatting or enrollment library in use (see its documentation)";
}

std::string StatusNumber(int32_t status) {
  char number[32];
  if (status >= -1 && status <= 0xFFFF) {
    std::snprintf(number, sizeof(number), "%d", status);
  } else {
    std::snprintf(number, sizeof(number), "0x%08X", static_cast<uint32_t>(status));
  }
  return number;
}

std::string StatusLabel(int32_t status) {
  return StatusName(status) + " (" + StatusNumber(status) + "): " + StatusText(status);
}

int ExitStatusFor(int32_t status) {
  switch (status) {
    case OB_OK:
      return kExitOk;
    case OB_E_NO_SESSION:
    case XCST_NO_TOKEN:
    case XCST_TOKEN_BUSY:
      return kExitUnreachable;
    case XCST_PIN_INCORRECT:
    case XCST_PIN_LOCKED:
    case XCST_PIN_LENGTH:
    case XCST_ADMIN_PIN_INCORRECT:
      return kExitPin;
    default:
      return kExitFailed;
  }
}

namespace {

// TokenAnswerFindings: what the token library says about a session that
// could not be opened, or about its store. obkey answers 3 for any refused
// connect, so for 3 the library is asked itself.
std::vector<Finding> TokenAnswerFindings(int32_t status, const Environment &environment) {
  int32_t token_status = status;
  bool asked = false;
  if (status == OB_E_NO_SESSION && environment.device_known) {
    asked = AskTokenConnect(environment.device, &token_status);
  }
  std::vector<Finding> findings = TokenStatusFindings(token_status, environment);
  if (!findings.empty()) return findings;
  const std::string device = environment.device_known ? std::to_string(environment.device) : "N";
  if (asked && token_status == OB_OK) {
    return {{"device " + device +
                 " opens now when obkeyctl asks the token library itself: it "
                 "was busy or unplugged for a moment",
             "try again; --verbose shows every call"}};
  }
  if (asked) {
    return {
        {"the token library refuses to open device " + device + ": " + StatusLabel(token_status),
         "see the token library's documentation; --verbose shows every call"}};
  }
  return {{"obkeyctl sees nothing wrong with the configuration (" + environment.config_where +
               ") or the software token folder (" + environment.token_dir + ")",
           "if another token library is in use, check that its token is plugged in; --verbose "
           "shows every call"}};
}

}  // namespace

const ObkeyApi &Context::api() {
  if (!loaded_) {
    std::string error, chosen;
    // The chosen token library must be in the process before obkey, which
    // imports it by name.
    if (!settings.token_library.empty() && !PreloadTokenLibrary(settings.token_library, &error)) {
      Failure("cannot load the token library " + settings.token_library + ": " + error,
              {{"the path names no loadable library, or a dependency of it is missing",
                "give the path of p11token's libxcsp_eclib.so (or xcsp_eclib.dll)"}});
    }
    if (!LoadObkey(settings.library, &api_, &chosen, &error)) {
      Failure("cannot load the obkey library " + chosen + ": " + error,
              {{"the library is not installed where the loader looks, or a dependency of it "
                "(the token library) is missing",
                "give its path with --library PATH or $OBKEY_LIBRARY"}});
    }
    if (settings.verbose) std::fprintf(stderr, "obkeyctl: loaded %s\n", chosen.c_str());
    library_loaded_ = chosen;
    loaded_ = true;
  }
  return api_;
}

int32_t Context::Call(const char *export_name, const std::function<int32_t()> &call) {
  StdoutDiversion diversion;
  int32_t status = call();
  diversion.Finish();
  if (settings.verbose) {
    std::fprintf(stderr, "obkeyctl: %s -> %s\n", export_name, StatusLabel(status).c_str());
  }
  return status;
}

void Context::Check(const std::string &what, int32_t status, const Explainer &explain) {
  if (status == OB_OK) return;
  Stop stop{ExitStatusFor(status), what + ": failed, " + StatusLabel(status), {}};
  if (explain) stop.findings = explain(status);
  Environment environment = DescribeEnvironment(settings);
  std::vector<Finding> seen;
  // The software token's folder and store mean nothing to a PKCS #11 token.
  const bool pkcs11 = UsesPkcs11(settings);
  if (pkcs11) seen = Pkcs11Findings(status, environment, !stop.findings.empty());
  switch (pkcs11 && status != XCST_NOT_LOGGED_IN ? OB_OK : status) {
    case OB_OK:
      break;
    case OB_E_NO_SESSION:
    case XCST_NO_TOKEN:
    case XCST_TOKEN_BUSY:
    case XCST_STORE_CORRUPT:
    case XCST_STORE_VERSION:
    case XCST_STORE_IO:
    case XCST_STORE_BAD_KEY:
    case XCST_DISK_FULL:
    case XCST_TOKEN_DIR_SHARED:
    case XCST_TOKEN_DIR_FOREIGN:
      seen = DiagnoseReach(environment);
      if (seen.empty()) seen = DiagnoseWritable(environment);
      if (seen.empty()) seen = TokenAnswerFindings(status, environment);
      break;
    case XCST_PIN_INCORRECT: {
      int tries = PinTriesLeft(environment);
      seen.push_back({"the token refused the PIN" + (tries >= 0 ? "; " + TriesLeftText(tries) : ""),
                      "check the PIN; after the last wrong one the PIN locks, and then only a "
                      "backup made before (obkeyctl restore BACKUP) or formatting, which erases "
                      "the token, unlocks it"});
      break;
    }
    case XCST_PIN_LOCKED:
      seen.push_back(PinLockedFinding());
      break;
    case XCST_PIN_LENGTH:
      seen.push_back({"the PIN is empty or longer than 64 bytes", "give a PIN of 1 to 64 bytes"});
      break;
    case XCST_BAD_SETTING:
      seen.push_back(
          {"$XCSP_TOKEN_SCRYPT_LOG2N asks for a PIN derivation cost no token store may "
           "carry; nothing was written",
           "unset it, or set a number from 10 to 17 (15 is the default)"});
      break;
    case XCST_NOT_LOGGED_IN:
      seen.push_back({"the operation needs the user PIN verified first",
                      "give the PIN (--pin-file, --pin-env, --pin-stdin, or at the prompt)"});
      break;
    default:
      seen = DiagnoseWritable(environment);
      break;
  }
  stop.findings.insert(stop.findings.end(), seen.begin(), seen.end());
  if (stop.findings.empty() && status == OB_E_ARGUMENT) {
    stop.findings.push_back({"obkey does not say which argument it refused",
                             "compare the arguments with `obkeyctl " + command_words + " --help`"});
  }
  throw stop;
}

int Context::Done(const std::string &what, const std::string &detail) {
  if (!settings.quiet) {
    std::fprintf(stderr, "%s: ok%s%s\n", what.c_str(), detail.empty() ? "" : ", ", detail.c_str());
  }
  return kExitOk;
}

void Context::Note(const std::string &line) const {
  if (!settings.quiet) std::fprintf(stderr, "obkeyctl: %s\n", line.c_str());
}

void Context::BeforeTokenCall(bool writes) {
  if (UsesPkcs11(settings)) return;
  Environment environment = DescribeEnvironment(settings);
  if (!environment.lock_path.empty() && LockHeldElsewhere(environment.lock_path) == 1) {
    const char *wait = std::getenv("XCSP_TOKEN_LOCK_TIMEOUT_MS");
    Note("another process holds the token's lock " + environment.lock_path + "; waiting up to " +
         (wait != nullptr && wait[0] ? wait : "5000") + " ms for it");
  }
  if (writes) {
    std::vector<Finding> findings = DiagnoseWritable(environment, true);
    if (!findings.empty()) Failure(command_words + ": the token could not keep a change", findings);
  }
}

void Context::LogIn(const Args &args) {
  Secret pin;
  ReadPin(args, "pin", "user PIN", false, &pin);
  const ObkeyApi &obkey = api();
  auto login = Require(obkey.login, "OBCA_Login");
  BeforeTokenCall(false);
  // A refused PIN is the failure of the command the user ran.
  Check(command_words, Call("OBCA_Login", [&] { return login(1, pin.text().c_str()); }));
}

obkey::SecretBytes ReadSecretInput(const std::string &path) {
  if (path == "-") {
    UseStdin("'-'");
    return ReadStdin();
  }
  obkey::SecretBytes bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) {
    Failure("cannot read " + path + ": " + error);
  }
  return bytes;
}

std::vector<uint8_t> ReadInput(const std::string &path) {
  const obkey::SecretBytes bytes = ReadSecretInput(path);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

uint64_t StreamInput(const std::string &path,
                     const std::function<void(const uint8_t *bytes, size_t len)> &chunk) {
  FILE *file = stdin;
  if (path == "-") {
    UseStdin("'-'");
  } else {
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) Failure("cannot read " + path + ": " + SystemErrorText());
  }
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t total = 0;
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    chunk(buffer.data(), got);
    total += got;
  }
  bool failed = std::ferror(file) != 0;
  std::string error = failed ? SystemErrorText() : "";
  if (file != stdin) std::fclose(file);
  if (failed) Failure("cannot read " + path + ": " + error);
  return total;
}

void WriteOutput(const std::string &path, const uint8_t *bytes, size_t len, bool secret) {
  if (path == "-") {
    if (!WriteStdout(bytes, len)) Failure("cannot write to standard output: " + SystemErrorText());
    return;
  }
  std::string error;
  if (!WriteFileAtomically(path, bytes, len, secret ? 0600 : 0644, &error)) {
    Failure("cannot write " + path + ": " + error,
            {{"the folder is missing or not writable", "choose another path with --out"}});
  }
  g_written.push_back("wrote " + path + " (" + std::to_string(len) + " bytes" +
                      (secret ? ", mode 0600)" : ")"));
}

void ReportWritten() {
  for (const std::string &line : g_written) std::fprintf(stderr, "obkeyctl: %s\n", line.c_str());
  g_written.clear();
}

size_t Emit(const Args &args, const uint8_t *bytes, size_t len, bool secret) {
  std::string out = args.Get("out", "-");
  if (args.Has("hex") || (out == "-" && IsTerminal(1))) {
    obkey::SecretBytes text;
    text.reserve(2 * len + 1);
    AppendHex(bytes, len, &text);
    text.push_back('\n');
    WriteOutput(out, text.data(), text.size(), secret);
    return text.size();
  }
  WriteOutput(out, bytes, len, secret);
  return len;
}

size_t EmitText(const Args &args, const std::string &text, bool secret) {
  WriteOutput(args.Get("out", "-"), reinterpret_cast<const uint8_t *>(text.data()), text.size(),
              secret);
  return text.size();
}

std::string HexText(const uint8_t *bytes, size_t len) {
  std::string text;
  AppendHex(bytes, len, &text);
  return text;
}

std::string AskLine(const std::string &prompt) {
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  std::string line;
  StdinLine(&line);
  return line;
}

bool ReadPassword(const Args &args, Secret *out_password) {
  if (args.Has("pass-file") && args.Has("pass-stdin")) {
    UsageError("give the password one way only, not --pass-file and --pass-stdin");
  }
  if (args.Has("pass-file")) {
    FirstLine(ReadSecretInput(args.Get("pass-file")), &out_password->text());
    return true;
  }
  if (args.Has("pass-stdin")) {
    UseStdin("--pass-stdin");
    StdinLine(&out_password->text());
    return true;
  }
  return false;
}

void ReadPin(const Args &args, const std::string &prefix, const std::string &what, bool confirm,
             Secret *out_pin) {
  const std::string sources[] = {prefix, prefix + "-file", prefix + "-env", prefix + "-stdin"};
  std::vector<std::string> given;
  for (const std::string &source : sources) {
    if (args.Has(source)) given.push_back("--" + source);
  }
  if (given.size() > 1) {
    UsageError("give the " + what + " one way only, not " + given[0] + " and " + given[1]);
  }
  obkey::SecretString &pin = out_pin->text();
  if (args.Has(prefix)) {
    const std::string &given_pin = args.Get(prefix);
    pin.assign(given_pin.begin(), given_pin.end());
  } else if (args.Has(prefix + "-file")) {
    std::string path = args.Get(prefix + "-file");
    FirstLine(ReadSecretInput(path), &pin);
    if (pin.empty()) UsageError("the " + what + " file " + path + " has an empty first line");
    return;
  } else if (args.Has(prefix + "-env")) {
    std::string name = args.Get(prefix + "-env");
    const char *value = std::getenv(name.c_str());
    if (value == nullptr) UsageError("--" + prefix + "-env " + name + ": $" + name + " is not set");
    pin = value;
  } else if (args.Has(prefix + "-stdin")) {
    if (prefix == "pin" || !g_stdin_used || !args.Has("pin-stdin"))
      UseStdin("--" + prefix + "-stdin");
    StdinLine(&pin);
  } else if (IsTerminal(0)) {
    std::string label = what;
    label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    if (!ReadHiddenLine(label + ": ", &pin)) UsageError("no " + what + " entered");
    if (confirm) {
      Secret again;
      if (!ReadHiddenLine("Repeat the " + what + ": ", &again.text()) || again.text() != pin) {
        Failure("the two entries of the " + what + " differ; nothing was changed");
      }
    }
  } else {
    UsageError("`" + g_command_words + "` needs the " + what + ": give --" + prefix +
               "-file FILE, --" + prefix + "-env VAR or --" + prefix +
               "-stdin (on a terminal it is asked for)");
  }
  if (pin.empty()) UsageError("the " + what + " is empty");
}

}  // namespace obkeyctl

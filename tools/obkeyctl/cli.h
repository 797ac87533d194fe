// obkeyctl's command table, strict argument parsing, input and output, PINs
// and status reporting.
#ifndef OBKEY_TOOLS_OBKEYCTL_CLI_H
#define OBKEY_TOOLS_OBKEYCTL_CLI_H

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "obkey_library.h"
#include "wiping_allocator.h"

namespace obkeyctl {

// Exit statuses, documented in --help and the manual page.
enum ExitStatus {
  kExitOk = 0,
  kExitFailed = 1,       // the operation failed
  kExitUsage = 2,        // the command line is wrong
  kExitUnreachable = 3,  // the token cannot be reached
  kExitPin = 4,          // the PIN was refused or is locked
};

// A cause with what to do about it, printed under a failure.
struct Finding {
  std::string cause;
  std::string fix;
};

// Stop ends a command early: thrown by the helpers below, caught in main,
// which prints the message and the findings and exits with `exit_status`.
struct Stop {
  int exit_status;
  std::string message;
  std::vector<Finding> findings;
};

// UsageError stops with exit status 2 and a message naming the fault.
[[noreturn]] void UsageError(const std::string &message);
// Failure stops with exit status 1.
[[noreturn]] void Failure(const std::string &message, std::vector<Finding> findings = {});

// Arguments after the command words, already checked against the command's
// option list: positionals and --name value options (a flag stores "").
class Args {
 public:
  Args() = default;
  Args(std::vector<std::string> positional, std::map<std::string, std::string> options)
      : positional_(std::move(positional)), options_(std::move(options)) {}

  size_t count() const { return positional_.size(); }
  const std::string &at(size_t i) const { return positional_.at(i); }
  bool Has(const std::string &option) const { return options_.count(option) != 0; }
  std::string Get(const std::string &option, const std::string &fallback = "") const;
  // Number reads a decimal option; a usage error when it is no number.
  uint32_t Number(const std::string &option, uint32_t fallback) const;

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> options_;
};

// Global options, accepted before and after the command.
struct Settings {
  std::string library;
  std::string token_library;  // --token-library, empty when absent
  std::string registry_from;  // "--registry" when given on the command line
  std::string token_dir_from;
  std::string log_from;
  std::string device;  // --device as given, empty when absent
  bool quiet = false;
  bool verbose = false;
};

class Context;

struct Command {
  const char *words;      // "file put"
  const char *arguments;  // positional names, optional ones in brackets: "LABEL [FILE]"
  // Options, space-separated: "name" a flag, "name=" a value, "name=a|b" one
  // of the values, a trailing "!" required. "@pin" the user PIN options,
  // "@new-pin" those of a new PIN, "@out" --out and --hex.
  const char *options;
  const char *summary;  // one line
  const char *help;     // what the command does, its options, examples
  int (*run)(Context &context, const Args &args);
  bool needs_library = true;
};

// Each group of commands adds itself to the table.
void AddTokenCommands(std::vector<Command> *table);
void AddKeyCommands(std::vector<Command> *table);
void AddFileCommands(std::vector<Command> *table);
void AddSymmetricKeyCommands(std::vector<Command> *table);
void AddEnrollmentCommands(std::vector<Command> *table);
void AddConfigCommands(std::vector<Command> *table);
void AddInventoryCommands(std::vector<Command> *table);

// ParseCommandArgs checks `args` against `command` and returns them; any
// unknown option, bad value, missing option or argument, or extra argument
// is a usage error naming it. Global options among them go to `settings`.
Args ParseCommandArgs(const Command &command, const std::vector<std::string> &args,
                      Settings *settings);

// ApplyGlobalOption handles one global option; false when `name` is none.
bool IsGlobalOption(const std::string &name, bool *out_takes_value);
void ApplyGlobalOption(const std::string &name, const std::string &value, Settings *settings);

// Usage and help texts made from the command table.
std::string UsageLine(const Command &command);
std::string CommandHelp(const Command &command);

// StatusName and StatusText name every status of obkey and of the libraries
// shipped with it (status_text.h); StatusName is "UNKNOWN" otherwise.
std::string StatusName(int32_t status);
std::string StatusText(int32_t status);
// StatusNumber is the status as obkeyctl shows it: decimal from -1 to
// 0xFFFF, else 0x followed by eight hex digits.
std::string StatusNumber(int32_t status);
// StatusLabel is "NAME (number): text".
std::string StatusLabel(int32_t status);
// ExitStatusFor maps a failing status to the exit status.
int ExitStatusFor(int32_t status);

// What a command knows about a -1 from its own arguments.
using Explainer = std::function<std::vector<Finding>(int32_t status)>;

// The state of one run: settings, the library (loaded when first needed).
class Context {
 public:
  Settings settings;
  std::string command_words;

  // api loads the obkey library on first use; a failure stops the command.
  const ObkeyApi &api();
  // The path or name of the obkey library loaded (empty before api()).
  const std::string &library_loaded() const { return library_loaded_; }

  // Call runs one library call with the library's standard output sent to
  // standard error, and tells in --verbose what it called.
  int32_t Call(const char *export_name, const std::function<int32_t()> &call);

  // Check reports a failing status with its name, text, the command's own
  // explanation and what obkeyctl sees of the token, and stops; it returns
  // when `status` is 0.
  void Check(const std::string &what, int32_t status, const Explainer &explain = nullptr);

  // Done prints "<what>: ok" (and ", <detail>") unless --quiet; returns 0.
  int Done(const std::string &what, const std::string &detail = "");

  // Note prints an informational line on standard error unless --quiet.
  void Note(const std::string &line) const;

  // BeforeTokenCall says, before a token call, what obkeyctl can already see
  // going wrong (a lock held elsewhere). With `writes` it refuses when the
  // token folder or store cannot be written, since the token would lose the
  // change.
  void BeforeTokenCall(bool writes);

  // LogIn verifies the user PIN from the command's PIN options (or a
  // prompt), since the token forgets the check when this process ends.
  void LogIn(const Args &args);

 private:
  ObkeyApi api_;
  bool loaded_ = false;
  std::string library_loaded_;
};

// Require stops with a message when the library lacks an export.
template <typename Function>
Function Require(Function function, const char *export_name) {
  if (function == nullptr) {
    Failure(std::string("the loaded obkey library has no ") + export_name,
            {{"an older or foreign library was loaded", "give the right one with --library PATH"}});
  }
  return function;
}

// Input and output. "-" is standard input or output everywhere.
std::vector<uint8_t> ReadInput(const std::string &path);
// ReadSecretInput is ReadInput for a key, a PIN or plain text: into a
// buffer that wipes what it frees.
obkey::SecretBytes ReadSecretInput(const std::string &path);
// StreamInput hands a file (or standard input) to `chunk` piece by piece,
// so that a file of any size passes in a fixed amount of memory; returns
// the number of bytes read.
uint64_t StreamInput(const std::string &path,
                     const std::function<void(const uint8_t *bytes, size_t len)> &chunk);
// WriteOutput writes to a file (atomically; mode 0600 when `secret`, else
// 0644) or, for "-", standard output.
void WriteOutput(const std::string &path, const uint8_t *bytes, size_t len, bool secret);
// ReportWritten tells, on standard error, each file WriteOutput wrote in
// this run, with its size; called once a command has succeeded.
void ReportWritten();
// Emit writes a binary result to --out (default "-"): raw, or as hex with
// --hex or when it goes to a terminal.
// Both return the number of bytes written.
size_t Emit(const Args &args, const uint8_t *bytes, size_t len, bool secret);
// EmitText writes text (PEM, lists) to --out (default "-").
size_t EmitText(const Args &args, const std::string &text, bool secret);
std::string HexText(const uint8_t *bytes, size_t len);

// AskLine writes `prompt` to standard error and reads a line from standard
// input (with echo); empty at end of input.
std::string AskLine(const std::string &prompt);

// A PIN held in memory that is wiped when it goes. Its room is reserved on
// the heap at once, so that the wiping allocator sees every byte of it.
class Secret {
 public:
  Secret() { text_.reserve(128); }
  Secret(const Secret &) = delete;
  Secret &operator=(const Secret &) = delete;
  obkey::SecretString &text() { return text_; }
  const obkey::SecretString &text() const { return text_; }

 private:
  obkey::SecretString text_;
};

// ReadPin takes the PIN from the options with `prefix` ("pin" or
// "new-pin"): --pin, --pin-file, --pin-env, --pin-stdin, else a prompt on a
// terminal (asked twice when `confirm`). A usage error when none applies.
void ReadPin(const Args &args, const std::string &prefix, const std::string &what, bool confirm,
             Secret *out_pin);

// ReadPassword takes a key file's password from --pass-file (its first
// line) or --pass-stdin (a line of standard input); false when neither is
// given. An empty password is one.
bool ReadPassword(const Args &args, Secret *out_password);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_CLI_H

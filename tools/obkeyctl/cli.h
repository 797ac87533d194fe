// obkeyctl's command table, arguments and status reporting.
#ifndef OBKEY_TOOLS_OBKEYCTL_CLI_H
#define OBKEY_TOOLS_OBKEYCTL_CLI_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "tools/obkeyctl/obkey_library.h"

namespace obkeyctl {

// Arguments after the command words: positionals and --name value options
// (a bare --name stores "").
class Args {
 public:
  Args() = default;
  Args(std::vector<std::string> positional, std::map<std::string, std::string> options)
      : positional_(std::move(positional)), options_(std::move(options)) {}

  size_t count() const { return positional_.size(); }
  const std::string &at(size_t i) const { return positional_.at(i); }
  bool Has(const std::string &option) const { return options_.count(option) != 0; }
  std::string Get(const std::string &option, const std::string &fallback = "") const;
  // GetNumber parses a decimal or 0x-prefixed option; false when it is no number.
  bool GetNumber(const std::string &option, uint32_t fallback, uint32_t *out_value) const;

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> options_;
};

struct Context {
  ObkeyApi api;
};

struct Command {
  std::string words;    // "file put"
  std::string usage;    // arguments after the words
  std::string summary;  // one line
  int (*run)(Context &context, const Args &args);
};

// Each group of commands adds itself to the table.
void AddTokenCommands(std::vector<Command> *table);
void AddKeyCommands(std::vector<Command> *table);
void AddFileCommands(std::vector<Command> *table);
void AddSymmetricKeyCommands(std::vector<Command> *table);
void AddEnrollmentCommands(std::vector<Command> *table);

// StatusName names a status of obkey or of the software token.
std::string StatusName(int32_t status);

// Report prints "<what>: ok" or "<what>: failed, <name> (<hex>)" and returns
// the process exit code for it.
int Report(const std::string &what, int32_t status);

// Fail prints an error about the command line and returns the exit code 2.
int Fail(const std::string &message);

// Missing reports an export that the loaded library does not have.
int Missing(const char *export_name);

// File helpers: whole files as bytes; false with a message on failure.
bool ReadFile(const std::string &path, std::vector<uint8_t> *out_bytes);
bool WriteFile(const std::string &path, const uint8_t *bytes, size_t len);
std::string HexText(const uint8_t *bytes, size_t len);
bool ParseHex(const std::string &text, std::vector<uint8_t> *out_bytes);

// KeyTypeOption reads --type sig|enc (default sig) as a key type; 0 when it
// is neither.
uint32_t KeyTypeOption(const Args &args);

// Emit writes bytes to --out, or prints them as hex.
int Emit(const Args &args, const uint8_t *bytes, size_t len);

// LoggedIn verifies --pin when given; on failure it reports and stores the
// exit code.
bool LoggedIn(Context &context, const Args &args, int *out_exit);

// LogIn verifies --pin (default: the formatted token's PIN) when the
// command asks for it, since the PIN check lasts only for this process.
int32_t LogInIfAsked(Context &context, const Args &args);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_CLI_H

// Running programs as a user would, from the tests: a shell command line
// with its standard input, output, error and exit status.
#ifndef OBKEY_TESTS_SUPPORT_SHELL_RUN_H
#define OBKEY_TESTS_SUPPORT_SHELL_RUN_H

#include <string>

#include "temp_folder.h"

namespace obkey_test {

struct ShellResult {
  int exit_status = -1;  // the command's exit status, or -1 when it did not exit
  std::string out;
  std::string err;
};

// RunShell runs `command` with /bin/sh -c in `folder`, `stdin_text` on its
// standard input, and collects both outputs.
ShellResult RunShell(const std::string &folder, const std::string &command,
                     const std::string &stdin_text = "");

// ShellQuote puts `text` in single quotes for the shell.
std::string ShellQuote(const std::string &text);

// ReadText and WriteText: whole files; ReadText gives "" for a missing file.
std::string ReadText(const std::string &path);
void WriteText(const std::string &path, const std::string &text);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_SHELL_RUN_H

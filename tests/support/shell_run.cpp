#include "shell_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace obkey_test {

std::string ShellQuote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  return quoted + "'";
}

std::string ReadText(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteText(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

ShellResult RunShell(const std::string &folder, const std::string &command,
                     const std::string &stdin_text) {
  static int serial = 0;
  std::string stem = folder + "/.run" + std::to_string(getpid()) + "-" + std::to_string(++serial);
  WriteText(stem + ".in", stdin_text);
  std::string line = "cd " + ShellQuote(folder) + " && ( " + command + " ) <" +
                     ShellQuote(stem + ".in") + " >" + ShellQuote(stem + ".out") + " 2>" +
                     ShellQuote(stem + ".err");
  int status = std::system(("/bin/sh -c " + ShellQuote(line)).c_str());
  ShellResult result;
  result.exit_status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadText(stem + ".out");
  result.err = ReadText(stem + ".err");
  for (const char *suffix : {".in", ".out", ".err"}) unlink((stem + suffix).c_str());
  return result;
}

}  // namespace obkey_test

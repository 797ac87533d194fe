#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/diagnostic_log.h"

namespace obkey::platform {

namespace {

std::string EnvOrEmpty(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// Creates every missing folder of `path`'s parent, private to the user.
void MakeParentFolders(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

}  // namespace

std::string DiagnosticLogPath() {
  std::string configured = EnvOrEmpty("OBKEY_LOG");
  if (!configured.empty()) return configured;
  std::string state_home = EnvOrEmpty("XDG_STATE_HOME");
  if (state_home.empty()) state_home = EnvOrEmpty("HOME") + "/.local/state";
  return state_home + "/obkey/xml816.log";
}

std::FILE *OpenDiagnosticLog() {
  std::string path = DiagnosticLogPath();
  std::FILE *file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    MakeParentFolders(path);
    file = std::fopen(path.c_str(), "a");
  }
  return file;
}

}  // namespace obkey::platform

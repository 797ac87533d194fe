#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

void AppendDiagnosticLog(const char *text) noexcept {
  try {
    // Plain system calls: stdio's append mode adds a seek and a stat to
    // every entry, and every token call writes two.
    const std::string path = DiagnosticLogPath();
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = open(path.c_str(), kFlags, 0666);
    if (fd < 0) {
      MakeParentFolders(path);
      fd = open(path.c_str(), kFlags, 0666);
    }
    if (fd < 0) return;
    size_t left = text != nullptr ? std::strlen(text) : 0;
    while (left > 0) {
      ssize_t n = write(fd, text, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text += n;
      left -= static_cast<size_t>(n);
    }
    close(fd);
  } catch (...) {
  }
}

}  // namespace obkey::platform

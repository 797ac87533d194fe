#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "diagnostic_log.h"

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

// O_NOFOLLOW refuses a link planted at the path; O_NONBLOCK keeps a FIFO
// without a reader (or a device) from holding up the caller's export.
int OpenLog(const std::string &path) {
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd;
  do {
    fd = open(path.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, const char *text, size_t text_len) {
  while (text_len > 0) {
    ssize_t written = write(fd, text, text_len);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text += written;
    text_len -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::string DiagnosticLogPath() {
  std::string configured = EnvOrEmpty("OBKEY_LOG");
  if (!configured.empty()) return configured;
  std::string state_home = EnvOrEmpty("XDG_STATE_HOME");
  if (state_home.empty()) state_home = EnvOrEmpty("HOME") + "/.local/state";
  return state_home + "/obkey/xml816.log";
}

bool AppendToDiagnosticLog(const char *text, size_t text_len) {
  std::string path = DiagnosticLogPath();
  int fd = OpenLog(path);
  if (fd < 0 && errno == ENOENT) {
    MakeParentFolders(path);
    fd = OpenLog(path);
  }
  if (fd < 0) return false;
  // A FIFO with a reader, or a device, opens without blocking: only a
  // regular file is a log. A file with a second name is another file
  // reached through a hard link planted at the log's path.
  struct stat status;
  bool written = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 &&
                 WriteAll(fd, text, text_len);
  close(fd);
  return written;
}

}  // namespace obkey::platform

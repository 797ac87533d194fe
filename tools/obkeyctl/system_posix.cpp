#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "secret_array.h"
#include "system.h"

namespace obkeyctl {

bool IsTerminal(int fd) {
  return isatty(fd) == 1;
}

void UseBinaryStdio() {}

bool ReadHiddenLine(const std::string &prompt, obkey::SecretString *out_line) {
  // Echo goes off before the prompt shows, so that nothing typed at once
  // is echoed.
  termios saved{};
  bool hidden = tcgetattr(0, &saved) == 0;
  if (hidden) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    hidden = tcsetattr(0, TCSAFLUSH, &quiet) == 0;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  out_line->clear();
  bool got_line = false;
  char c = 0;
  while (read(0, &c, 1) == 1) {
    got_line = true;
    if (c == '\n') break;
    out_line->push_back(c);
  }
  if (hidden) tcsetattr(0, TCSAFLUSH, &saved);
  if (!out_line->empty() && out_line->back() == '\r') out_line->pop_back();
  return got_line;
}

std::string SystemErrorText() {
  return std::strerror(errno);
}

StdoutDiversion::StdoutDiversion(bool capture) {
  std::fflush(stdout);
  saved_fd_ = dup(1);
  if (saved_fd_ < 0) return;
  if (capture) {
    int ends[2];
    if (pipe(ends) == 0) {
      capture_fd_ = ends[0];
      dup2(ends[1], 1);
      close(ends[1]);
      return;
    }
  }
  dup2(2, 1);
}

std::string StdoutDiversion::Finish() {
  std::string captured;
  if (saved_fd_ < 0) return captured;
  std::fflush(stdout);
  dup2(saved_fd_, 1);
  close(saved_fd_);
  saved_fd_ = -1;
  if (capture_fd_ >= 0) {
    char buffer[512];
    ssize_t got = 0;
    while ((got = read(capture_fd_, buffer, sizeof(buffer))) > 0) {
      captured.append(buffer, static_cast<size_t>(got));
    }
    close(capture_fd_);
    capture_fd_ = -1;
  }
  return captured;
}

StdoutDiversion::~StdoutDiversion() {
  Finish();
}

namespace {

bool IsRegularFile(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool WriteAll(int fd, const uint8_t *bytes, size_t len) {
  while (len > 0) {
    ssize_t wrote = write(fd, bytes, len);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    len -= static_cast<size_t>(wrote);
  }
  return true;
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool WriteFileAtomically(const std::string &path, const uint8_t *bytes, size_t len, int mode,
                         std::string *out_error) {
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
      !S_ISDIR(existing.st_mode)) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool written = fd >= 0 && WriteAll(fd, bytes, len);
    if (!written) *out_error = SystemErrorText();
    if (fd >= 0) close(fd);
    return written;
  }
  std::string temporary = path + ".XXXXXX";
  int fd = mkstemp(&temporary[0]);
  if (fd < 0) {
    *out_error = SystemErrorText() + " (creating a file in " + FolderOf(path) + ")";
    return false;
  }
  bool written =
      fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, bytes, len) && fsync(fd) == 0;
  if (!written) *out_error = SystemErrorText();
  close(fd);
  if (written && rename(temporary.c_str(), path.c_str()) != 0) {
    *out_error = SystemErrorText();
    written = false;
  }
  if (!written) {
    unlink(temporary.c_str());
    return false;
  }
  int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return true;
}

bool ReadTokenFile(const std::string &path, std::vector<uint8_t> *out_bytes,
                   std::string *out_error) {
  // Without blocking and never through a link: a FIFO planted at a token
  // file's name would otherwise hold obkeyctl until someone wrote to it.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *out_error = SystemErrorText();
    return false;
  }
  const bool regular = IsRegularFile(fd);
  close(fd);
  if (!regular) {
    *out_error = "it is not a regular file";
    return false;
  }
  obkey::SecretBytes bytes;
  if (!ReadWholeFile(path, &bytes, out_error)) return false;
  out_bytes->assign(bytes.begin(), bytes.end());
  return true;
}

bool ReadWholeFile(const std::string &path, obkey::SecretBytes *out_bytes, std::string *out_error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *out_error = SystemErrorText();
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    *out_error = "it is a folder";
    return false;
  }
  out_bytes->clear();
  obkey::SecretArray<4096> buffer;
  ssize_t got = 0;
  while ((got = read(fd, buffer.data(), buffer.size())) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *out_error = SystemErrorText();
      close(fd);
      return false;
    }
    out_bytes->insert(out_bytes->end(), buffer.data(), buffer.data() + got);
  }
  close(fd);
  return true;
}

obkey::SecretBytes ReadStdin() {
  obkey::SecretBytes bytes;
  obkey::SecretArray<4096> buffer;
  ssize_t got = 0;
  while ((got = read(0, buffer.data(), buffer.size())) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    bytes.insert(bytes.end(), buffer.data(), buffer.data() + got);
  }
  return bytes;
}

bool WriteStdout(const uint8_t *bytes, size_t len) {
  std::fflush(stdout);
  return WriteAll(1, bytes, len);
}

PathState ExaminePath(const std::string &path) {
  PathState state;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    state.error = SystemErrorText();
    return state;
  }
  state.exists = true;
  state.is_directory = S_ISDIR(info.st_mode);
  state.shared_writable = state.is_directory && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  state.size = static_cast<int64_t>(info.st_size);
  state.readable = access(path.c_str(), R_OK) == 0;
  state.writable = access(path.c_str(), W_OK) == 0;
  if (!state.writable) state.error = SystemErrorText();
  return state;
}

int LockHeldElsewhere(const std::string &lock_path) {
  int fd = open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  if (!IsRegularFile(fd)) {
    close(fd);
    return -1;
  }
  int held = 0;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    held = errno == EWOULDBLOCK ? 1 : -1;
  } else {
    flock(fd, LOCK_UN);
  }
  close(fd);
  return held;
}

TokenFileLock::~TokenFileLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool TokenFileLock::Acquire(const std::string &path, unsigned timeout_ms, std::string *out_error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    *out_error = SystemErrorText();
    return false;
  }
  handle_ = fd;
  if (!IsRegularFile(fd)) {
    *out_error = "it is not a regular file";
    return false;
  }
  for (unsigned waited = 0;; waited += 10) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK || waited >= timeout_ms) break;
    usleep(10 * 1000);
  }
  *out_error = errno == EWOULDBLOCK ? "busy" : SystemErrorText();
  return false;
}

int64_t FreeSpace(const std::string &path) {
  struct statvfs disk {};
  if (statvfs(path.c_str(), &disk) != 0) return -1;
  return static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize);
}

std::string ExistingFileNear(const std::string &relative) {
  char self[PATH_MAX] = {};
  ssize_t len = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (len <= 0) return "";
  std::string path(self, static_cast<size_t>(len));
  path = path.substr(0, path.rfind('/') + 1) + relative;
  char resolved[PATH_MAX] = {};
  struct stat info;
  if (realpath(path.c_str(), resolved) == nullptr || stat(resolved, &info) != 0 ||
      !S_ISREG(info.st_mode)) {
    return "";
  }
  return resolved;
}

std::string LoadedLibraryPath(const char *stem) {
  struct Search {
    const char *stem;
    std::string found;
  } search{stem, ""};
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *data) {
        Search *wanted = static_cast<Search *>(data);
        const char *name = info->dlpi_name;
        const char *base = name != nullptr ? std::strrchr(name, '/') : nullptr;
        if (base != nullptr && std::strstr(base, wanted->stem) != nullptr) {
          wanted->found = name;
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

bool MakePrivateDirectory(std::string *out_path, std::string *out_error) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/obkeyctl-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    *out_error = SystemErrorText() + " (" + pattern + ")";
    return false;
  }
  *out_path = pattern;
  return true;
}

void RemovePrivateDirectory(const std::string &dir, const std::string &file) {
  if (!file.empty()) unlink(file.c_str());
  if (!dir.empty()) rmdir(dir.c_str());
}

bool CreateFolders(const std::string &path, int mode, std::string *out_error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
      *out_error = SystemErrorText() + " (" + part + ")";
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

std::string HomeFolder() {
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  const passwd *entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

char PathSeparator() {
  return '/';
}

bool HasRegistry() {
  return false;
}

void SetEnvironment(const char *name, const std::string &value) {
  setenv(name, value.c_str(), 1);
}

bool WriteMachineValue(const char *, const char *, const std::string &, std::string *out_error) {
  *out_error = "there is no registry here";
  return false;
}

FolderControl FolderInOthersControl(const std::string &dir) {
  struct stat info {};
  std::string folder = dir;
  while (stat(folder.c_str(), &info) != 0) {
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || folder == "/") return {};
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
  char *resolved = realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return {};
  folder = resolved;
  std::free(resolved);
  const bool is_token_folder = folder == dir;
  for (bool first = true;; first = false) {
    if (stat(folder.c_str(), &info) != 0)
      return {folder, "cannot be examined: " + SystemErrorText()};
    const bool others_write = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool own = info.st_uid == geteuid();
    if (first && is_token_folder) {
      if (!own) return {folder, "is owned by uid " + std::to_string(info.st_uid) + ", not by you"};
      if (others_write) return {folder, "is writable by its group or others"};
    } else {
      if (!own && info.st_uid != 0) {
        return {folder, "is owned by uid " + std::to_string(info.st_uid) +
                            ", who can rename what is in it and put a folder of their own there"};
      }
      if (others_write && (info.st_mode & S_ISVTX) == 0) {
        return {folder,
                "is writable by its group or others and not sticky, so they can rename "
                "what is in it and put a folder of their own there"};
      }
    }
    if (folder == "/") return {};
    const size_t slash = folder.find_last_of('/');
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
}

}  // namespace obkeyctl

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "registry.h"
#include "registry_text.h"

namespace obkey::platform {

namespace {

constexpr char kMachineRoot[] = "HKEY_LOCAL_MACHINE\\";
constexpr char kDefaultRegistryFile[] = "/etc/obkey/registry.reg";

// Registry key and value names compare without regard to case.
bool SameName(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string TrimLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

// Reads a "..." token starting at `pos` with .reg escapes (\\ and \"); on
// success `*pos` is just past the closing quote.
bool ReadQuoted(const std::string &line, size_t *pos, std::string *out) {
  if (*pos >= line.size() || line[*pos] != '"') return false;
  std::string text;
  for (size_t i = *pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      text.push_back(line[++i]);
    } else if (c == '"') {
      *pos = i + 1;
      *out = text;
      return true;
    } else {
      text.push_back(c);
    }
  }
  return false;
}

// Parses `"name"="value"`; other value kinds (dword:, hex:) are not strings.
bool ParseStringValue(const std::string &line, std::string *name, std::string *value) {
  size_t pos = 0;
  if (!ReadQuoted(line, &pos, name)) return false;
  if (pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  return ReadQuoted(line, &pos, value);
}

}  // namespace

std::string RegistryFilePath() {
  const char *configured = std::getenv("OBKEY_REGISTRY");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return kDefaultRegistryFile;
}

bool ReadRegistryFile(const std::string &path, std::string *out_text) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::string text;
  struct stat status;
  bool read_all = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  // One byte more than allowed tells a full-size file from a larger one,
  // whatever the size fstat reported a moment ago.
  char chunk[4096];
  while (read_all) {
    ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) read_all = false;
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
    if (text.size() > kRegistryFileMax) read_all = false;
  }
  close(fd);
  if (!read_all) return false;
  *out_text = std::move(text);
  return true;
}

bool FindRegStringValue(const std::string &text, const char *key_path, const char *value_name,
                        std::string *out_value) {
  const std::string wanted_section = std::string(kMachineRoot) + key_path;
  bool in_section = false;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = TrimLineEnd(text.substr(begin, end - begin));
    begin = end + 1;
    if (!line.empty() && line.front() == '[' && line.back() == ']') {
      in_section = SameName(line.substr(1, line.size() - 2), wanted_section);
      continue;
    }
    std::string name, value;
    if (in_section && ParseStringValue(line, &name, &value) && SameName(name, value_name)) {
      // The registry hands back text up to its first zero byte; what is
      // left of a value that starts with one is no value at all.
      std::string text_value(value.c_str());
      if (text_value.empty()) return false;
      *out_value = std::move(text_value);
      return true;
    }
  }
  return false;
}

bool ReadMachineValue(const char *key_path, const char *value_name, std::string *out_value) {
  std::string text;
  if (!ReadRegistryFile(RegistryFilePath(), &text)) return false;
  return FindRegStringValue(text, key_path, value_name, out_value);
}

}  // namespace obkey::platform

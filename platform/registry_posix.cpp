#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/registry.h"

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

// ReadWholeFile reads a file in one go: every token call reads the
// registry afresh, and a stream costs several times the system calls.
bool ReadWholeFile(const std::string &path, std::string *out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char chunk[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
    // A regular file reads short only at its end; this spares the read
    // that would return 0.
    if (static_cast<size_t>(n) < sizeof(chunk)) break;
  }
  close(fd);
  if (ok) *out = std::move(text);
  return ok;
}

}  // namespace

std::string RegistryFilePath() {
  const char *configured = std::getenv("OBKEY_REGISTRY");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return kDefaultRegistryFile;
}

bool ReadMachineValue(const char *key_path, const char *value_name, std::string *out_value) {
  std::string text;
  if (!ReadWholeFile(RegistryFilePath(), &text)) return false;
  const std::string wanted_section = std::string(kMachineRoot) + key_path;
  bool in_section = false;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = TrimLineEnd(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.front() == '[' && line.back() == ']') {
      in_section = SameName(line.substr(1, line.size() - 2), wanted_section);
      continue;
    }
    std::string name, value;
    if (in_section && ParseStringValue(line, &name, &value) && SameName(name, value_name)) {
      if (value.empty()) return false;
      // The registry hands back text up to its first zero byte.
      out_value->assign(value.c_str());
      return true;
    }
  }
  return false;
}

}  // namespace obkey::platform

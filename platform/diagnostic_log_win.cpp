#include <windows.h>

#include <cstdio>

#include "diagnostic_log.h"

namespace obkey::platform {

namespace {

// IsPlantedPath says whether the log's path names a link (a reparse point)
// or a file with a second name (a hard link to another file): entries are
// not written through either.
bool IsPlantedPath(const std::string &path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool planted = !GetFileInformationByHandle(file, &info) || info.nNumberOfLinks > 1 ||
                       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  CloseHandle(file);
  return planted;
}

}  // namespace

std::string DiagnosticLogPath() {
  return "c:\\xml816.log";
}

bool AppendToDiagnosticLog(const char *text, size_t text_len) {
  if (IsPlantedPath(DiagnosticLogPath())) return false;
  std::FILE *log = std::fopen(DiagnosticLogPath().c_str(), "at");
  if (log == nullptr) return false;
  bool written = text_len == 0 || std::fwrite(text, 1, text_len, log) == text_len;
  return std::fclose(log) == 0 && written;
}

}  // namespace obkey::platform

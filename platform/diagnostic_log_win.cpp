#include <cstdio>

#include "diagnostic_log.h"

namespace obkey::platform {

std::string DiagnosticLogPath() {
  return "c:\\xml816.log";
}

bool AppendToDiagnosticLog(const char *text, size_t text_len) {
  std::FILE *log = std::fopen(DiagnosticLogPath().c_str(), "at");
  if (log == nullptr) return false;
  bool written = text_len == 0 || std::fwrite(text, 1, text_len, log) == text_len;
  return std::fclose(log) == 0 && written;
}

}  // namespace obkey::platform

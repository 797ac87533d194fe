#include <cstdio>
#include <cstring>

#include "platform/diagnostic_log.h"

namespace obkey::platform {

namespace {

constexpr char kLogPath[] = "c:\\xml816.log";

}  // namespace

std::string DiagnosticLogPath() {
  return kLogPath;
}

void AppendDiagnosticLog(const char *text) noexcept {
  std::FILE *log = std::fopen(kLogPath, "at");
  if (log == nullptr) return;
  if (text != nullptr) std::fwrite(text, 1, std::strlen(text), log);
  std::fclose(log);
}

}  // namespace obkey::platform

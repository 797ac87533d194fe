#include "token/log_text.h"

#include <cstring>

#include "platform/diagnostic_log.h"

namespace obkey {

void LogText(const char *text) noexcept {
  std::FILE *log = nullptr;
  try {
    log = platform::OpenDiagnosticLog();
  } catch (...) {
    return;
  }
  if (log == nullptr) return;
  if (text != nullptr) std::fwrite(text, 1, std::strlen(text), log);
  std::fclose(log);
}

}  // namespace obkey

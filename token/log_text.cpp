#include "log_text.h"

#include <cstring>

#include "diagnostic_log.h"

namespace obkey {

void LogText(const char *text) noexcept {
  try {
    platform::AppendToDiagnosticLog(text, text != nullptr ? std::strlen(text) : 0);
  } catch (...) {
    // Logging never changes a caller's status, not even when out of memory.
  }
}

}  // namespace obkey

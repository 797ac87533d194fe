#include "token/log_text.h"

#include "platform/diagnostic_log.h"

namespace obkey {

void LogText(const char *text) noexcept {
  platform::AppendDiagnosticLog(text);
}

}  // namespace obkey

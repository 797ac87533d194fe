#include "platform/diagnostic_log.h"

namespace obkey::platform {

std::string DiagnosticLogPath() {
  return "c:\\xml816.log";
}

std::FILE *OpenDiagnosticLog() {
  return std::fopen(DiagnosticLogPath().c_str(), "at");
}

}  // namespace obkey::platform

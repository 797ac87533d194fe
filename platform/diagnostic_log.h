// Where the diagnostic log lives, and how it is opened.
#ifndef OBKEY_PLATFORM_DIAGNOSTIC_LOG_H
#define OBKEY_PLATFORM_DIAGNOSTIC_LOG_H

#include <string>

namespace obkey::platform {

// DiagnosticLogPath is "c:\xml816.log" on Windows; elsewhere $OBKEY_LOG, else
// $XDG_STATE_HOME/obkey/xml816.log, else ~/.local/state/obkey/xml816.log.
std::string DiagnosticLogPath();

// AppendDiagnosticLog opens the log for appending in text mode (line ends
// become CRLF on Windows), creating it and, off Windows, its folder, writes
// `text` (nothing when null) as one block and closes it. Failures are
// silent: logging never changes a caller's result.
void AppendDiagnosticLog(const char *text) noexcept;

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_DIAGNOSTIC_LOG_H

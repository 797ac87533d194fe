// Where the diagnostic log lives, and how an entry reaches it.
#ifndef OBKEY_PLATFORM_DIAGNOSTIC_LOG_H
#define OBKEY_PLATFORM_DIAGNOSTIC_LOG_H

#include <stddef.h>

#include <string>

namespace obkey::platform {

// DiagnosticLogPath is "c:\xml816.log" on Windows; elsewhere $OBKEY_LOG, else
// $XDG_STATE_HOME/obkey/xml816.log, else ~/.local/state/obkey/xml816.log.
std::string DiagnosticLogPath();

// AppendToDiagnosticLog opens the log, appends `text_len` bytes of `text` as
// one block and closes it, creating the log (and, off Windows, its folder)
// when it is missing; a zero length only creates it. Windows opens it in text
// mode, so line ends become CRLF. Elsewhere the log is created private to the
// user (0600) and only a regular file is written: a symbolic link, a FIFO or
// a device at the path drops the entry without waiting. Returns false when
// the entry was dropped.
bool AppendToDiagnosticLog(const char *text, size_t text_len);

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_DIAGNOSTIC_LOG_H

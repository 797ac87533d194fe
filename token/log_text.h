// The diagnostic log: fixed text entries, appended, without timestamps.
#ifndef OBKEY_TOKEN_LOG_TEXT_H
#define OBKEY_TOKEN_LOG_TEXT_H

namespace obkey {

// LogText appends `text` (up to its terminating zero) to the diagnostic log as
// one block, opening and closing the file around it so that every entry is
// handed to the system before it returns. A null text writes nothing but
// still creates the log. A log that cannot be opened, or (off Windows) that
// is anything but a regular file, is silently skipped without waiting:
// logging never changes a caller's status.
void LogText(const char *text) noexcept;

}  // namespace obkey

#endif  // OBKEY_TOKEN_LOG_TEXT_H

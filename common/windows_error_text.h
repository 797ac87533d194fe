// windows_error_text.h — a Windows error number in the system's own words,
// as a user would look them up, without the trailing period and line end.
#ifndef OBKEY_COMMON_WINDOWS_ERROR_TEXT_H
#define OBKEY_COMMON_WINDOWS_ERROR_TEXT_H

#if defined(_WIN32)
#include <windows.h>

#include <string>

namespace obkey {

// WindowsErrorText is the system's message for `error`, or "" when it has
// none.
inline std::string WindowsErrorText(DWORD error) {
  char text[256] = {};
  DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof(text), nullptr);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == '.')) {
    text[--len] = '\0';
  }
  return std::string(text, len);
}

}  // namespace obkey

#endif  // _WIN32
#endif  // OBKEY_COMMON_WINDOWS_ERROR_TEXT_H

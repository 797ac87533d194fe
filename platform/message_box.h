// A modal error notice for the user of the calling program.
#ifndef OBKEY_PLATFORM_MESSAGE_BOX_H
#define OBKEY_PLATFORM_MESSAGE_BOX_H

namespace obkey::platform {

// ShowErrorBox shows `text` (narrow, in the system's ANSI code page, GBK on
// the desks this library serves) with the caption "ERROR" and an OK button,
// and returns once it is dismissed.
//
// Windows shows a MessageBoxA without an owner window. Elsewhere, and on
// Windows when the environment variable OBKEY_NO_MESSAGE_BOX is "1" (for
// unattended runs, where a modal box would wait forever), it writes the line
// "ERROR: <text>" to the standard error instead.
void ShowErrorBox(const char *text) noexcept;

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_MESSAGE_BOX_H

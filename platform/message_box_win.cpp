#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "message_box.h"

namespace obkey::platform {

namespace {

// Unattended runs (tests under Wine, services) have nobody to press OK.
bool BoxSuppressed() {
  const char *value = std::getenv("OBKEY_NO_MESSAGE_BOX");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

void ShowErrorBox(const char *text) noexcept {
  if (text == nullptr) text = "";
  if (BoxSuppressed()) {
    std::fprintf(stderr, "ERROR: %s\n", text);
    std::fflush(stderr);
    return;
  }
  MessageBoxA(nullptr, text, "ERROR", MB_OK);
}

}  // namespace obkey::platform

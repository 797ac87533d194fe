#include <cstdio>

#include "message_box.h"

namespace obkey::platform {

void ShowErrorBox(const char *text) noexcept {
  std::fprintf(stderr, "ERROR: %s\n", text != nullptr ? text : "");
  std::fflush(stderr);
}

}  // namespace obkey::platform

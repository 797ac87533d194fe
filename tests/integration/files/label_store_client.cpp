// A client of the label store in a process of its own. Logs in with the
// user PIN, then for each argument LABEL=TEXT:
//   import: stores TEXT under LABEL;
//   expect: reads LABEL back and compares it with TEXT.
// Exits 0 when every step succeeded, else 1 with the failing step on stderr.
#include <cstdio>
#include <cstring>
#include <string>

#include "obkey.h"

namespace {

bool Run(const char *command, const std::string &label, const std::string &text) {
  int32_t status = 0;
  if (std::strcmp(command, "import") == 0) {
    status = OBCA_ImportFile(label.c_str(), OB_STORE_LABELS,
                             reinterpret_cast<const uint8_t *>(text.data()),
                             static_cast<uint32_t>(text.size()));
  } else {
    char out[256] = {};
    uint32_t len = sizeof(out);
    status =
        OBCA_ExportFile(label.c_str(), OB_STORE_LABELS, reinterpret_cast<uint8_t *>(out), &len);
    if (status == 0 && std::string(out, len) != text) {
      std::fprintf(stderr, "%s: read \"%.*s\"\n", label.c_str(), static_cast<int>(len), out);
      return false;
    }
  }
  if (status != 0) std::fprintf(stderr, "%s %s: status 0x%x\n", command, label.c_str(), status);
  return status == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || (std::strcmp(argv[1], "import") != 0 && std::strcmp(argv[1], "expect") != 0)) {
    std::fprintf(stderr, "usage: %s import|expect LABEL=TEXT...\n", argv[0]);
    return 2;
  }
  int32_t login = OBCA_Login(1, "12345678");
  if (login != 0) {
    std::fprintf(stderr, "login: status 0x%x\n", login);
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    size_t eq = arg.find('=');
    if (eq == std::string::npos || !Run(argv[1], arg.substr(0, eq), arg.substr(eq + 1))) return 1;
  }
  return 0;
}

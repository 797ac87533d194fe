#include "token_answer.h"

#include <string>

#include "obkey_library.h"
#include "system.h"
#include "xcsp_eclib.h"

namespace obkeyctl {

bool AskTokenConnect(int32_t device, int32_t *out_status) {
  const std::string path = LoadedLibraryPath("xcsp_eclib");
  if (path.empty()) return false;
  std::string error;
  // Loaded already: this is the same library obkey calls, not a second copy.
  void *library = OpenLibrary(path, false, &error);
  if (library == nullptr) return false;
  auto connect =
      reinterpret_cast<decltype(&XC_ConnectEkey)>(LibraryExport(library, "XC_ConnectEkey"));
  auto disconnect =
      reinterpret_cast<decltype(&XC_DisconnectEkey)>(LibraryExport(library, "XC_DisconnectEkey"));
  if (connect == nullptr || disconnect == nullptr) return false;
  XcHandle session = 0;
  *out_status = connect(device, &session);
  if (*out_status == 0) disconnect(session);
  return true;
}

}  // namespace obkeyctl

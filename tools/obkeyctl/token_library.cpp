#include "token_library.h"

#include "obkey_library.h"

namespace obkeyctl {

namespace {

#if defined(_WIN32)
constexpr char kFormattingLibrary[] = "KeyOperation.dll";
#else
constexpr char kFormattingLibrary[] = "libKeyOperation.so";
#endif

// Global, so that obkey and the enrollment library, loaded after it, bind
// to its functions.
bool Preload(const std::string &path, std::string *out_error) {
  return OpenLibrary(path, true, out_error) != nullptr;
}

}  // namespace

bool PreloadTokenLibrary(const std::string &path, std::string *out_error) {
  if (!Preload(path, out_error)) return false;
  size_t slash = path.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string ignored;
  // Optional: a token library may come without a formatting library.
  Preload(folder + kFormattingLibrary, &ignored);
  return true;
}

}  // namespace obkeyctl

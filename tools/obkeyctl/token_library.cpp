#include "tools/obkeyctl/token_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace obkeyctl {

namespace {

#if defined(_WIN32)
constexpr char kFormattingLibrary[] = "KeyOperation.dll";

bool Preload(const std::string &path, std::string *out_error) {
  if (LoadLibraryA(path.c_str()) != nullptr) return true;
  *out_error = "cannot load " + path;
  return false;
}
#else
constexpr char kFormattingLibrary[] = "libKeyOperation.so";

bool Preload(const std::string &path, std::string *out_error) {
  // Global, so that the libraries loaded after it bind to its functions.
  if (dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) return true;
  const char *error = dlerror();
  *out_error = error != nullptr ? error : "cannot load " + path;
  return false;
}
#endif

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

// The token library obkey is to use, chosen on obkeyctl's command line
// instead of the one found beside obkey.
#ifndef OBKEY_TOOLS_OBKEYCTL_TOKEN_LIBRARY_H
#define OBKEY_TOOLS_OBKEYCTL_TOKEN_LIBRARY_H

#include <string>

namespace obkeyctl {

// PreloadTokenLibrary loads the token library at `path` and, when the same
// folder has one, the formatting library beside it, before obkey is loaded.
// obkey (and the enrollment library) import them by name, and a library of
// that name already loaded in the process is the one they get. Returns
// false, with `*out_error` set, when `path` cannot be loaded.
bool PreloadTokenLibrary(const std::string &path, std::string *out_error);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_TOKEN_LIBRARY_H

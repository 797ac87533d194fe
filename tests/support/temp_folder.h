// The one way the tests make a private folder and remove it again.
#ifndef OBKEY_TESTS_SUPPORT_TEMP_FOLDER_H
#define OBKEY_TESTS_SUPPORT_TEMP_FOLDER_H

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace obkey_test {

// MakeTempFolder makes a fresh folder, open to its owner only, named
// <stem>-XXXXXX under the system's temporary folder ($TMPDIR or the
// platform's default), and returns its path, or "" when none can be made.
inline std::string MakeTempFolder(const std::string &stem) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return "";
  std::string pattern = (base / (stem + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

// RemoveTree removes `folder` and everything below it, parts a test made
// read-only included.
inline void RemoveTree(const std::string &folder) {
  if (folder.empty()) return;
  std::error_code error;
  std::filesystem::remove_all(folder, error);
  if (!error) return;
  namespace fs = std::filesystem;
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, error);
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  std::filesystem::remove_all(folder, error);
}

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_TEMP_FOLDER_H

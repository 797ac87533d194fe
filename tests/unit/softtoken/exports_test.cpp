// The built libxcsp_eclib and libKeyOperation, loaded by name as obkey
// loads them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "key_operation.h"
#include "softtoken_status.h"
#include "temp_folder.h"
#include "xcsp_eclib.h"

namespace {

class Library {
 public:
  // Never unmapped: the software token keeps its lock files open, and the
  // tables of them, for the life of the process.
  explicit Library(const char *path)
      : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool loaded() const { return handle_ != nullptr; }
  template <typename Fn>
  Fn *Get(const char *name) const {
    return reinterpret_cast<Fn *>(dlsym(handle_, name));
  }

 private:
  void *handle_;
};

// ExportNames lists the names under EXPORTS of one of our .def files.
std::vector<std::string> ExportNames(const char *def_file) {
  const char *source = std::getenv("OBKEY_SOURCE_DIR");
  std::ifstream in(std::string(source != nullptr ? source : ".") + "/include/vendor/" + def_file);
  std::vector<std::string> names;
  std::string word;
  bool in_exports = false;
  while (in >> word) {
    if (word == "EXPORTS") {
      in_exports = true;
    } else if (in_exports) {
      names.push_back(word);
    }
  }
  return names;
}

TEST(SoftTokenExports, EveryDefNameResolves) {
  struct Case {
    const char *library;
    const char *def_file;
    size_t count;
  };
  for (const Case &c : {Case{XCSP_ECLIB_PATH, "xcsp_eclib.def", 21},
                        Case{KEYOPERATION_PATH, "KeyOperation.def", 1}}) {
    Library library(c.library);
    ASSERT_TRUE(library.loaded()) << c.library << ": " << dlerror();
    std::vector<std::string> names = ExportNames(c.def_file);
    EXPECT_EQ(names.size(), c.count) << c.def_file;
    for (const std::string &name : names) {
      EXPECT_NE(library.Get<void>(name.c_str()), nullptr) << name << " missing in " << c.library;
    }
    // The store, session and RSA code stays inside.
    EXPECT_EQ(library.Get<void>("_ZN5obkey9softtoken11ConnectEkeyEiPj"), nullptr);
  }
}

TEST(SoftTokenExports, FormatInOneLibraryEndsTheLoginOfTheOther) {
  const std::string folder = obkey_test::MakeTempFolder("obkey-softtoken-exports");
  ASSERT_FALSE(folder.empty());
  setenv("XCSP_TOKEN_DIR", folder.c_str(), 1);
  Library token(XCSP_ECLIB_PATH);
  Library key_operation(KEYOPERATION_PATH);
  ASSERT_TRUE(token.loaded() && key_operation.loaded());
  auto format = key_operation.Get<decltype(FormatMWKey)>("FormatMWKey");
  auto connect = token.Get<decltype(XC_ConnectEkey)>("XC_ConnectEkey");
  auto disconnect = token.Get<decltype(XC_DisconnectEkey)>("XC_DisconnectEkey");
  auto verify = token.Get<decltype(XC_VerifyPin)>("XC_VerifyPin");
  auto create_file = token.Get<decltype(XC_CreateUserFile)>("XC_CreateUserFile");
  auto write_file = token.Get<decltype(XC_WriteUserFile)>("XC_WriteUserFile");

  XcHandle session = 0;
  EXPECT_EQ(connect(0, &session), XCST_NO_TOKEN);
  EXPECT_EQ(disconnect(0), XCST_BAD_HANDLE);  // what obkey does after a failed connect
  EXPECT_EQ(connect(0, nullptr), XCST_BAD_ARGUMENT);
  ASSERT_EQ(format(KEY_OPERATION_ADMIN_PIN, KEY_OPERATION_ADMIN_PIN, 0), 0);

  ASSERT_EQ(connect(0, &session), 0);
  ASSERT_EQ(verify(session, reinterpret_cast<const uint8_t *>("12345678"), 8, XC_PIN_USER), 0);
  XcHandle file = 0;
  ASSERT_EQ(create_file(session, 1, 4, XC_USER_FILE_CREATE, &file), 0);
  EXPECT_EQ(write_file(file, reinterpret_cast<const uint8_t *>("abcd"), 4), 0);
  ASSERT_EQ(disconnect(session), 0);

  ASSERT_EQ(format(KEY_OPERATION_ADMIN_PIN, KEY_OPERATION_ADMIN_PIN, 0), 0);
  ASSERT_EQ(connect(0, &session), 0);
  ASSERT_EQ(create_file(session, 1, 4, XC_USER_FILE_CREATE, &file), 0) << "format kept a file";
  EXPECT_EQ(write_file(file, reinterpret_cast<const uint8_t *>("abcd"), 4), XCST_NOT_LOGGED_IN);
  EXPECT_EQ(disconnect(session), 0);
  obkey_test::RemoveTree(folder);
}

}  // namespace

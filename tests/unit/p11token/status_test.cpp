// How PKCS #11 return values reach obkey, and that the statuses p11token
// shares with the software token are the same numbers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "key_operation.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"
#include "pkcs11_names.h"
#include "softtoken_status.h"
#include "status_text.h"
#include "token_test_env.h"

namespace obkey::p11token {
namespace {

TEST(P11StatusTest, ReturnValuesMapOntoTheInterface) {
  struct Case {
    CK_RV rv;
    int32_t status;
  } cases[] = {
      {CKR_OK, 0},
      {CKR_PIN_INCORRECT, P11ST_PIN_INCORRECT},
      {CKR_PIN_LOCKED, P11ST_PIN_LOCKED},
      {CKR_PIN_LEN_RANGE, P11ST_PIN_LENGTH},
      {CKR_USER_NOT_LOGGED_IN, P11ST_NOT_LOGGED_IN},
      {CKR_TOKEN_NOT_PRESENT, P11ST_NO_TOKEN},
      {CKR_DEVICE_REMOVED, P11ST_NO_TOKEN},
      {CKR_SESSION_HANDLE_INVALID, P11ST_BAD_HANDLE},
      {CKR_DATA_LEN_RANGE, P11ST_DATA_LENGTH},
      {CKR_ENCRYPTED_DATA_INVALID, P11ST_DATA_RANGE},
      {CKR_BUFFER_TOO_SMALL, P11ST_BUFFER_TOO_SMALL},
      {CKR_DEVICE_MEMORY, P11ST_FILE_SPACE_FULL},
      {CKR_HOST_MEMORY, P11ST_INTERNAL},
      // No counterpart: the value travels in the low half.
      {CKR_FUNCTION_FAILED, 0x50320006},
      {CKR_MECHANISM_INVALID, 0x50320070},
      {CKR_VENDOR_DEFINED | 0x1234, 0x50331234},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(StatusFromCkr(c.rv), c.status) << std::hex << c.rv;
  }
}

TEST(P11StatusTest, StatusTextNamesEveryStatus) {
  const struct {
    int32_t status;
    const char *name;
  } cases[] = {
      {P11ST_NO_MODULE, "P11ST_NO_MODULE"},
      // A failure the software token reports too has its value and its name.
      {P11ST_PIN_INCORRECT, "XCST_PIN_INCORRECT"},
      {StatusFromCkr(CKR_FUNCTION_FAILED), "P11ST_CKR"},
      {StatusFromCkr(CKR_VENDOR_DEFINED + 1), "P11ST_CKR_VENDOR"},
      {static_cast<int32_t>(P11ST_DATA_REFUSED_BASE | CKR_ATTRIBUTE_VALUE_INVALID),
       "P11ST_DATA_REFUSED"},
      {static_cast<int32_t>(P11ST_NO_MECHANISM_BASE), "P11ST_NO_MECHANISM"},
      {P11ST_INIT_IGNORED, "P11ST_INIT_IGNORED"},
      {0, "OK"},
      {-1, "OB_E_ARGUMENT"},
  };
  for (const auto &c : cases) {
    ASSERT_NE(obkey::StatusName(c.status), nullptr) << std::hex << c.status;
    EXPECT_STREQ(obkey::StatusName(c.status), c.name);
    EXPECT_NE(obkey::StatusText(c.status), nullptr);
  }
  EXPECT_EQ(obkey::StatusName(0x50360000), nullptr);
}

// Every CKR_ value of the standard's header is named, the same by p11token
// and by the status texts obkeyctl prints.
TEST(P11StatusTest, EveryStandardReturnValueIsNamed) {
  std::map<std::string, CK_RV> table;
#define TABLE_ENTRY(name, value) table[#name] = value;
  OBKEY_PKCS11_CKR_LIST(TABLE_ENTRY)
#undef TABLE_ENTRY
  std::ifstream header(OBKEY_PKCS11_HEADER);
  const std::regex define(R"(#define\s+(CKR_\w+)\s+\(?((0x)?[0-9a-fA-F]+)UL\)?)");
  size_t named = 0;
  for (std::string line; std::getline(header, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, define)) continue;
    const std::string name = match[1];
    const CK_RV value = std::stoul(match[2], nullptr, 0);
    // p11-kit 0.24 keeps a draft's numbers for five values of version 3.0.
    auto known = table.find(name);
    if (known != table.end() && known->second != value) continue;
    EXPECT_EQ(CkrName(value), name);
    const char *text_name = obkey::Pkcs11ValueName(static_cast<int32_t>(P11ST_CKR_BASE | value));
    EXPECT_STREQ(text_name, name.c_str());
    ++named;
  }
  EXPECT_GT(named, 80u) << OBKEY_PKCS11_HEADER;
  EXPECT_EQ(CkrName(0x1234), "CKR 0x00001234");
}

// A status shared with the software token must be one the software token
// has, with the same meaning; a value of the software token's range that it
// does not define would be read as something else.
TEST(P11StatusTest, SharedStatusesAreTheSoftwareTokens) {
  const std::set<uint32_t> software_token = {
#define SOFTTOKEN_VALUE(name, value, text) value,
      XCST_STATUS_LIST(SOFTTOKEN_VALUE)
#undef SOFTTOKEN_VALUE
  };
#define CHECK_SHARED(name, value, text)                                         \
  if ((static_cast<uint32_t>(value) >> 16) == 0x5843) {                         \
    EXPECT_EQ(software_token.count(static_cast<uint32_t>(value)), 1u) << #name; \
  }
  P11ST_STATUS_LIST(CHECK_SHARED)
#undef CHECK_SHARED
}

TEST(P11StatusTest, ModuleComesFromTheEnvironmentBeforeTheConfiguration) {
  std::string folder = ::testing::TempDir() + "p11token-config";
  std::string registry = folder + ".reg";
  // The module's value sits under the same key, after the device's.
  ASSERT_TRUE(obkey_test::WriteRegistryFile(
      registry, obkey_test::RegistryText(obkey_test::DeviceValue(0)) +
                    "\"PKCS11Module\"=\"/from/the/configuration.so\"\n"
                    "\"PKCS11InitArgs\"=\"configdir=/from/the/configuration\"\n"));
  setenv("OBKEY_REGISTRY", registry.c_str(), 1);
  struct Case {
    const char *name;
    const char *variable;  // null: unset
    std::string (*read)();
    const char *expected;
  } cases[] = {
      {"OBKEY_PKCS11_MODULE", "/from/the/environment.so", ConfiguredModulePath,
       "/from/the/environment.so"},
      {"OBKEY_PKCS11_MODULE", "", ConfiguredModulePath, "/from/the/configuration.so"},
      {"OBKEY_PKCS11_MODULE", nullptr, ConfiguredModulePath, "/from/the/configuration.so"},
      {"OBKEY_PKCS11_INIT_ARGS", "configdir=/from/the/environment", ConfiguredInitArgs,
       "configdir=/from/the/environment"},
      {"OBKEY_PKCS11_INIT_ARGS", nullptr, ConfiguredInitArgs, "configdir=/from/the/configuration"},
  };
  for (const Case &c : cases) {
    if (c.variable == nullptr) {
      unsetenv(c.name);
    } else {
      setenv(c.name, c.variable, 1);
    }
    EXPECT_EQ(c.read(), c.expected) << c.name << "=" << (c.variable ? c.variable : "(unset)");
  }
  setenv("OBKEY_REGISTRY", (folder + "-missing.reg").c_str(), 1);
  EXPECT_EQ(ConfiguredModulePath(), "");
  std::remove(registry.c_str());
}

TEST(P11StatusTest, ModulesThatCannotServeAreRefused) {
  // A failed load is not remembered, so each case is tried afresh.
  struct Case {
    const char *module;
    int32_t status;
    const char *cause;  // in the failure's text
  } cases[] = {
      {nullptr, P11ST_NO_MODULE, "OBKEY_PKCS11_MODULE"},
      {"/nonexistent/libmodule.so", P11ST_MODULE_LOAD, "No such file"},
      // loads, but has no C_GetFunctionList
      {"libc.so.6", P11ST_MODULE_LOAD, "no C_GetFunctionList"},
  };
  setenv("OBKEY_REGISTRY", "/nonexistent/registry.reg", 1);
  // The connection takes the module's lock first: in a folder of the test's.
  std::string lock_dir = ::testing::TempDir() + "p11token-locks-XXXXXX";
  ASSERT_NE(mkdtemp(lock_dir.data()), nullptr);
  setenv("OBKEY_PKCS11_LOCK_DIR", lock_dir.c_str(), 1);
  for (const Case &c : cases) {
    if (c.module == nullptr) {
      unsetenv("OBKEY_PKCS11_MODULE");
    } else {
      setenv("OBKEY_PKCS11_MODULE", c.module, 1);
    }
    CK_FUNCTION_LIST *functions = nullptr;
    EXPECT_EQ(ModuleFunctions(&functions), c.status) << (c.module ? c.module : "(none)");
    EXPECT_EQ(functions, nullptr);
    // Both libraries pass the refusal on.
    XcHandle session = 0;
    EXPECT_EQ(ConnectEkey(0, &session), c.status) << (c.module ? c.module : "(none)");
    EXPECT_EQ(FormatToken(KEY_OPERATION_ADMIN_PIN, KEY_OPERATION_ADMIN_PIN, 0), c.status);
    EXPECT_NE(ModuleFailureText().find(c.cause), std::string::npos) << ModuleFailureText();
  }
  std::filesystem::remove_all(lock_dir);
}

TEST(P11StatusTest, TheLockIsNamedAfterTheModuleFile) {
  setenv("OBKEY_REGISTRY", "/nonexistent/registry.reg", 1);
  auto key_for = [](const std::string &module) {
    setenv("OBKEY_PKCS11_MODULE", module.c_str(), 1);
    return ModuleLockKey();
  };
  // A module that loads: two paths to one file share the lock, a copy of
  // the file is another module.
  std::string folder = ::testing::TempDir() + "p11token-lock-key-XXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  std::string module = OBKEY_SOFTHSM2_MODULE;
  std::filesystem::create_symlink(module, folder + "/another-name.so");
  std::filesystem::copy_file(module, folder + "/copy.so");
  std::string key = key_for(module);
  EXPECT_EQ(key.rfind("libsofthsm2_so_", 0), 0u) << key;
  EXPECT_EQ(
      key.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
      std::string::npos)
      << key;
  EXPECT_EQ(key_for(folder + "/another-name.so"), key);
  EXPECT_EQ(key_for(folder + "/../" + std::filesystem::path(folder).filename().string() +
                    "/another-name.so"),
            key);
  std::string copy_key = key_for(folder + "/copy.so");
  EXPECT_NE(copy_key.substr(copy_key.size() - 16), key.substr(key.size() - 16));
  // Files that do not load are told apart by their path.
  EXPECT_NE(key_for("/opt/a/libsofthsm2.so"), key_for("/opt/b/libsofthsm2.so"));
  EXPECT_EQ(key_for("C:\\tokens\\vendor p11.dll").rfind("vendor_p11_dll_", 0), 0u);
  unsetenv("OBKEY_PKCS11_MODULE");
  EXPECT_EQ(ModuleLockKey(), "");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace obkey::p11token

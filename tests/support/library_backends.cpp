#include "library_backends.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <cstring>
#include <type_traits>

#include "p11token_status.h"
#include "softhsm_tokens.h"

namespace obkey_test {

namespace {

constexpr int32_t kNoDataObjects =
    static_cast<int32_t>(P11ST_DATA_REFUSED_BASE | CKR_ATTRIBUTE_VALUE_INVALID);
constexpr int32_t kNoKeyGeneration =
    static_cast<int32_t>(P11ST_NO_MECHANISM_BASE | CKM_RSA_PKCS_KEY_PAIR_GEN);
constexpr char kAdminPin[] = KEY_OPERATION_ADMIN_PIN;
// The shim that takes PINs of 4 to 8 characters only has an SO PIN of its own.
constexpr char kShortAdminPin[] = "1234abcd";

// The names match the CMake list in tests/behaviour/CMakeLists.txt.
const LibraryBackend kBackends[] = {
    {"softtoken", "softtoken", nullptr, kAdminPin, 10, 64, false, 0, 0},
    {"p11token_softhsm", "p11token", "", kAdminPin, 0, 255, false, 0, 0},
    {"shim_no_data", "p11token", "no_data", kAdminPin, 0, 255, true, kNoDataObjects, 0},
    {"shim_short_pins", "p11token", "short_pins", kShortAdminPin, 0, 8, false, 0, 0},
    {"shim_init_ignored", "p11token", "init_ignored", kAdminPin, 0, 255, false, 0, 0},
    {"shim_keyring", "p11token", "keyring", kAdminPin, 0, 255, false, 0, kNoKeyGeneration},
    {"shim_private_data", "p11token", "private_data", kAdminPin, 0, 255, true, 0, 0},
    {"shim_short_results", "p11token", "short_results", kAdminPin, 0, 255, false, 0, 0},
};

std::string LibraryPath(const LibraryBackend &backend, const char *file) {
  return std::string(OBKEY_BINARY_DIR) + "/" + backend.library_folder + "/" + file;
}

}  // namespace

const LibraryBackend *CurrentLibraryBackend() {
  const char *name = std::getenv("OBKEY_TOKEN_BACKEND");
  for (const LibraryBackend &backend : kBackends) {
    if (name != nullptr && std::strcmp(name, backend.name) == 0) return &backend;
  }
  ADD_FAILURE() << "no token library backend named by $OBKEY_TOKEN_BACKEND ("
                << (name != nullptr ? name : "unset") << ")";
  return nullptr;
}

bool PrepareBackendTokens(const LibraryBackend &backend, const std::string &folder,
                          int32_t device_count) {
  if (!backend.IsPkcs11()) {
    setenv("XCSP_TOKEN_DIR", (folder + "/tokens").c_str(), 1);
    // PINs derived at the software token's lowest scrypt cost.
    setenv("XCSP_TOKEN_SCRYPT_LOG2N", "10", 1);
    return true;
  }
  // A module reads its configuration once, at C_Initialize: one store for
  // the process.
  static SoftHsmTokens tokens(device_count, backend.admin_pin);
  EXPECT_TRUE(tokens.ok()) << "softhsm2-util could not initialise the test tokens";
  if (backend.shim_profile[0] != '\0') {
    std::string shim = std::string(OBKEY_BINARY_DIR) + "/tests/p11shim/libobkey_shim_" +
                       backend.shim_profile + ".so";
    setenv("OBKEY_PKCS11_MODULE", shim.c_str(), 1);
  }
  return tokens.ok();
}

bool LoadTokenLibrary(const LibraryBackend &backend, TokenLibrary *out) {
  const std::string token_path = LibraryPath(backend, "libxcsp_eclib.so");
  const std::string format_path = LibraryPath(backend, "libKeyOperation.so");
  void *token = dlopen(token_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(token, nullptr) << token_path << ": " << dlerror();
  void *format = dlopen(format_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(format, nullptr) << format_path << ": " << dlerror();
  if (token == nullptr || format == nullptr) return false;
  bool complete = true;
  auto resolve = [&](void *library, const char *name, auto *out_function) {
    *out_function =
        reinterpret_cast<std::remove_reference_t<decltype(*out_function)>>(dlsym(library, name));
    EXPECT_NE(*out_function, nullptr) << name << " missing";
    complete &= *out_function != nullptr;
  };
#define OBKEY_XC_RESOLVE(name) resolve(token, "XC_" #name, &out->name);
  OBKEY_XC_CALLS(OBKEY_XC_RESOLVE)
#undef OBKEY_XC_RESOLVE
  resolve(format, "FormatMWKey", &out->FormatMWKey);
  return complete;
}

}  // namespace obkey_test

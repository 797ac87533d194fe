// library_backends.h — the token libraries one behaviour suite runs over:
// the software token, and p11token over SoftHSMv2 and over each test shim
// that acts out another module. A backend is a pair of built library files
// (libxcsp_eclib, libKeyOperation), loaded with dlopen as obkey loads them,
// and a way to make fresh tokens for them; what it refuses is written here,
// so that a case it cannot run checks the refusal instead.
#ifndef OBKEY_TESTS_SUPPORT_LIBRARY_BACKENDS_H
#define OBKEY_TESTS_SUPPORT_LIBRARY_BACKENDS_H

#include <stdint.h>

#include <string>

#include "key_operation.h"
#include "xcsp_eclib.h"

namespace obkey_test {

// clang-format off
#define OBKEY_XC_CALLS(X) \
  X(ConnectEkey) X(DisconnectEkey) X(VerifyPin) X(ChangePin) X(CreateContainer) \
  X(SetCurContainer) X(GetContainerParam) X(GenRSAKey) X(RSAEncrypt) X(RSADecrypt) \
  X(RSASign) X(ReadRSAPubKey) X(WriteRSAKey) X(GenRandom) X(WriteCert) X(ReadCert) \
  X(GetEkeyParam) X(CreateUserFile) X(ReadUserFile) X(WriteUserFile) X(DeleteUserFile)
// clang-format on

// TokenLibrary holds the 21 XC_ functions (without their prefix) and
// FormatMWKey of one backend's two library files.
struct TokenLibrary {
#define OBKEY_XC_MEMBER(name) decltype(&XC_##name) name = nullptr;
  OBKEY_XC_CALLS(OBKEY_XC_MEMBER)
#undef OBKEY_XC_MEMBER
  decltype(&::FormatMWKey) FormatMWKey = nullptr;
};

struct LibraryBackend {
  const char *name;            // CTest names its tests behaviour.<name>.*
  const char *library_folder;  // the build tree's folder of the two libraries
  const char *shim_profile;    // PKCS #11: "" for SoftHSMv2 itself, else a shim's
  const char *admin_pin;       // the admin (SO) PIN that formats its tokens
  uint32_t pin_tries;          // wrong user PINs that lock the PIN; 0: it never locks
  uint32_t max_pin_len;        // the longest user PIN the token takes
  bool objects_need_login;     // containers and files are made and seen after a login only
  int32_t data_refusal;        // a refused container or user file (0: none refused)
  int32_t keygen_refusal;      // a refused key generation (0: none refused)
  bool IsPkcs11() const { return shim_profile != nullptr; }
};

// CurrentLibraryBackend is the backend named by $OBKEY_TOKEN_BACKEND, or
// null (with a test failure) when there is no such backend.
const LibraryBackend *CurrentLibraryBackend();

// PrepareBackendTokens makes unformatted or formatted tokens for devices 0
// to `device_count` - 1 below `folder` (a software token directory, or a
// SoftHSMv2 store made once per process with the backend's SO PIN) and
// points the libraries at them. False, with a test failure, when it cannot.
bool PrepareBackendTokens(const LibraryBackend &backend, const std::string &folder,
                          int32_t device_count);

// LoadTokenLibrary opens the backend's two library files and resolves every
// function; false, with a test failure naming what is missing, otherwise.
// The libraries stay loaded for the process.
bool LoadTokenLibrary(const LibraryBackend &backend, TokenLibrary *out);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_LIBRARY_BACKENDS_H

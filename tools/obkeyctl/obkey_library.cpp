#include "obkey_library.h"

#include <cstdlib>

#include "system.h"

#if defined(_WIN32)
#include <windows.h>

#include "windows_error_text.h"
#else
#include <dlfcn.h>
#endif

namespace obkeyctl {

namespace {

#if defined(_WIN32)
constexpr char kDefaultLibrary[] = "obkey.dll";

void *OpenLibraryOf(const std::string &path, bool, std::string *out_error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    DWORD error = GetLastError();
    const std::string text = obkey::WindowsErrorText(error);
    *out_error = (text.empty() ? "error" : text) + " (" + std::to_string(error) + ")";
    if (error == ERROR_MOD_NOT_FOUND) {
      *out_error +=
          "; obkey.dll or a DLL it imports (xcsp_eclib.dll, KeyOperation.dll, "
          "VeltaNxoEnrollApi.dll) is not beside obkeyctl.exe or on the PATH";
    }
  }
  return reinterpret_cast<void *>(module);
}

void *FindExport(void *library, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
constexpr char kDefaultLibrary[] = "libobkey.so";

void *OpenLibraryOf(const std::string &path, bool global_symbols, std::string *out_error) {
  void *library = dlopen(path.c_str(), RTLD_NOW | (global_symbols ? RTLD_GLOBAL : RTLD_LOCAL));
  if (library == nullptr) {
    const char *error = dlerror();
    *out_error = error != nullptr ? error : "cannot load " + path;
  }
  return library;
}

void *FindExport(void *library, const char *name) {
  return dlsym(library, name);
}
#endif

template <typename Function>
void Resolve(void *library, const char *name, Function *out_function) {
  *out_function = reinterpret_cast<Function>(FindExport(library, name));
}

}  // namespace

void *OpenLibrary(const std::string &path, bool global_symbols, std::string *out_error) {
  return OpenLibraryOf(path, global_symbols, out_error);
}

void *LibraryExport(void *library, const char *name) {
  return FindExport(library, name);
}

const char *DefaultLibraryName() {
  return kDefaultLibrary;
}

bool LoadObkey(const std::string &path, ObkeyApi *out_api, std::string *out_chosen,
               std::string *out_error) {
  std::string &chosen = *out_chosen;
  chosen = path;
  if (chosen.empty()) {
    const char *configured = std::getenv("OBKEY_LIBRARY");
    chosen = configured != nullptr && configured[0] != '\0' ? configured : kDefaultLibrary;
  }
  void *library = OpenLibraryOf(chosen, false, out_error);
  if (library == nullptr) return false;
  ObkeyApi &api = *out_api;
  Resolve(library, "OBCA_Login", &api.login);
  Resolve(library, "OBCA_Format", &api.format);
  Resolve(library, "OB_SetPVKEnabelData", &api.change_pin);
  Resolve(library, "OB_DisabelPVK", &api.print_containers);
  Resolve(library, "OB_CreateContainer", &api.create_container);
  Resolve(library, "OB_FindContainerAndKeypair", &api.find_container);
  Resolve(library, "OB_GenAsymmetricKey", &api.generate_key_pair);
  Resolve(library, "OB_GenRandom", &api.generate_random);
  Resolve(library, "OB_AsymmetricEncrypt", &api.encrypt);
  Resolve(library, "OB_AsymmetricDecrypt", &api.decrypt);
  Resolve(library, "OB_AsymmetricSignData", &api.sign);
  Resolve(library, "OB_AsymmetricVerifySign", &api.verify);
  Resolve(library, "OB_ExportPublicKey", &api.export_public_key);
  Resolve(library, "OB_ImportPrivateKey", &api.import_private_key);
  Resolve(library, "OBCERT_ImportCert", &api.import_cert);
  Resolve(library, "OBCERT_ExportCert", &api.export_cert);
  Resolve(library, "OBCA_ImportFile", &api.import_file);
  Resolve(library, "OBCA_ExportFile", &api.export_file);
  Resolve(library, "OBCA_DeleteFile", &api.delete_file);
  Resolve(library, "OBCA_ReadLabelList", &api.read_label_list);
  Resolve(library, "OB_GenSymmetricKey", &api.generate_symmetric_key);
  Resolve(library, "OB_ImportSymmetricKey", &api.import_symmetric_key);
  Resolve(library, "OB_ExportSymmetricKey", &api.export_symmetric_key);
  Resolve(library, "OB_SymmetricEncrypt", &api.symmetric_encrypt);
  Resolve(library, "OB_SymmetryDecrypt", &api.symmetric_decrypt);
  Resolve(library, "OB_Digest", &api.digest);
  Resolve(library, "OBCERT_CreateP10", &api.create_request);
  Resolve(library, "OBCERT_InstallCert", &api.install_certificates);
  return true;
}

decltype(&FormatMWKey) LoadedFormatMWKey(std::string *out_error) {
  const std::string path = LoadedLibraryPath("KeyOperation");
  if (path.empty()) {
    *out_error = "no formatting library (KeyOperation) was loaded with obkey";
    return nullptr;
  }
  void *library = OpenLibraryOf(path, false, out_error);
  void *format = library != nullptr ? FindExport(library, "FormatMWKey") : nullptr;
  if (library != nullptr && format == nullptr) *out_error = path + " has no FormatMWKey";
  return reinterpret_cast<decltype(&FormatMWKey)>(format);
}

}  // namespace obkeyctl

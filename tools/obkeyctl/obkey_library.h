// The obkey library as a client sees it: loaded at run time, every export
// found by its name.
#ifndef OBKEY_TOOLS_OBKEYCTL_OBKEY_LIBRARY_H
#define OBKEY_TOOLS_OBKEYCTL_OBKEY_LIBRARY_H

#include <string>

#include "key_operation.h"
#include "obkey.h"

namespace obkeyctl {

// One pointer per export used by obkeyctl, typed from the public header.
struct ObkeyApi {
  decltype(&OBCA_Login) login = nullptr;
  decltype(&OBCA_Format) format = nullptr;
  decltype(&OB_SetPVKEnabelData) change_pin = nullptr;
  decltype(&OB_DisabelPVK) print_containers = nullptr;
  decltype(&OB_CreateContainer) create_container = nullptr;
  decltype(&OB_FindContainerAndKeypair) find_container = nullptr;
  decltype(&OB_GenAsymmetricKey) generate_key_pair = nullptr;
  decltype(&OB_GenRandom) generate_random = nullptr;
  decltype(&OB_AsymmetricEncrypt) encrypt = nullptr;
  decltype(&OB_AsymmetricDecrypt) decrypt = nullptr;
  decltype(&OB_AsymmetricSignData) sign = nullptr;
  decltype(&OB_AsymmetricVerifySign) verify = nullptr;
  decltype(&OB_ExportPublicKey) export_public_key = nullptr;
  decltype(&OB_ImportPrivateKey) import_private_key = nullptr;
  decltype(&OBCERT_ImportCert) import_cert = nullptr;
  decltype(&OBCERT_ExportCert) export_cert = nullptr;
  decltype(&OBCA_ImportFile) import_file = nullptr;
  decltype(&OBCA_ExportFile) export_file = nullptr;
  decltype(&OBCA_DeleteFile) delete_file = nullptr;
  decltype(&OBCA_ReadLabelList) read_label_list = nullptr;
  decltype(&OB_GenSymmetricKey) generate_symmetric_key = nullptr;
  decltype(&OB_ImportSymmetricKey) import_symmetric_key = nullptr;
  decltype(&OB_ExportSymmetricKey) export_symmetric_key = nullptr;
  decltype(&OB_SymmetricEncrypt) symmetric_encrypt = nullptr;
  decltype(&OB_SymmetryDecrypt) symmetric_decrypt = nullptr;
  decltype(&OB_Digest) digest = nullptr;
  decltype(&OBCERT_CreateP10) create_request = nullptr;
  decltype(&OBCERT_InstallCert) install_certificates = nullptr;
};

// DefaultLibraryName is the name loaded when no path is given.
const char *DefaultLibraryName();

// LoadObkey loads the library (`path`, else $OBKEY_LIBRARY, else the
// platform's name for it), names it in `*out_chosen` and resolves the
// exports. An export that the library lacks stays null; `*out_error`
// explains a library that cannot be loaded at all.
// OpenLibrary loads the shared library at `path`; with `global_symbols` the
// libraries loaded after it bind to its functions (POSIX; Windows binds by
// DLL name anyway). Null, with `*out_error` set, when it cannot be loaded.
void *OpenLibrary(const std::string &path, bool global_symbols, std::string *out_error);

bool LoadObkey(const std::string &path, ObkeyApi *out_api, std::string *out_chosen,
               std::string *out_error);

// LoadedFormatMWKey is FormatMWKey of the formatting library that obkey
// imports, loaded with obkey: a format with the token's own SO PIN hands it
// over as FormatMWKey's admin PIN, which obkey's OBCA_Format always sets to
// its fixed one. Null, with `*out_error` set, when no such library is
// loaded or it lacks the function.
decltype(&FormatMWKey) LoadedFormatMWKey(std::string *out_error);

// LibraryExport is the address of the export `name` of a library OpenLibrary
// loaded; null when it has none.
void *LibraryExport(void *library, const char *name);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_OBKEY_LIBRARY_H

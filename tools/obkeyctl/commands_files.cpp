// Certificates on the token and labelled files.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/obkeyctl/cli.h"
#include "tools/obkeyctl/rsa_blobs.h"

namespace obkeyctl {
namespace {

constexpr uint32_t kCertificateCapacity = 4096;
constexpr uint32_t kFileCapacity = 64 * 1024;

uint32_t StoreSelector(const Args &args) {
  uint32_t store = OB_STORE_LABELS;
  args.GetNumber("store", OB_STORE_LABELS, &store);
  return store;
}

int CertImportCommand(Context &context, const Args &args) {
  if (context.api.import_cert == nullptr) return Missing("OBCERT_ImportCert");
  uint32_t key_type = KeyTypeOption(args);
  if (args.count() != 1 || key_type == 0) return Fail("cert import needs a file and --type");
  std::vector<uint8_t> file, der;
  if (!ReadFile(args.at(0), &file)) return 1;
  if (!CertificateToDer(file, &der)) return Fail(args.at(0) + " holds no certificate");
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  DataBlob cert{static_cast<uint32_t>(der.size()), der.data()};
  return Report("cert import", context.api.import_cert(0, &cert, 0, 0, 0, key_type));
}

int CertExportCommand(Context &context, const Args &args) {
  if (context.api.export_cert == nullptr) return Missing("OBCERT_ExportCert");
  uint32_t key_type = KeyTypeOption(args);
  if (args.count() != 0 || key_type == 0 || !args.Has("out")) {
    return Fail("cert export needs --type and --out");
  }
  std::vector<uint8_t> der(kCertificateCapacity);
  DataBlob cert{static_cast<uint32_t>(der.size()), der.data()};
  int32_t status = context.api.export_cert(&cert, 0, &key_type);
  if (status != OB_OK) return Report("cert export", status);
  der.resize(cert.cbData);
  if (!args.Has("pem")) return Emit(args, der.data(), der.size());
  std::string pem;
  if (!CertificateToPem(der, &pem)) return Fail("the token's certificate does not parse");
  return WriteFile(args.Get("out"), reinterpret_cast<const uint8_t *>(pem.data()), pem.size()) ? 0
                                                                                               : 1;
}

int FilePutCommand(Context &context, const Args &args) {
  if (context.api.import_file == nullptr) return Missing("OBCA_ImportFile");
  if (args.count() != 2) return Fail("file put needs a label and a file");
  std::vector<uint8_t> data;
  if (!ReadFile(args.at(1), &data)) return 1;
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  return Report("file put " + args.at(0),
                context.api.import_file(args.at(0).c_str(), StoreSelector(args), data.data(),
                                        static_cast<uint32_t>(data.size())));
}

int FileGetCommand(Context &context, const Args &args) {
  if (context.api.export_file == nullptr) return Missing("OBCA_ExportFile");
  if (args.count() != 1) return Fail("file get needs a label");
  std::vector<uint8_t> data(kFileCapacity);
  uint32_t len = static_cast<uint32_t>(data.size());
  int32_t status =
      context.api.export_file(args.at(0).c_str(), StoreSelector(args), data.data(), &len);
  if (status != OB_OK) return Report("file get " + args.at(0), status);
  return Emit(args, data.data(), len);
}

int FileRemoveCommand(Context &context, const Args &args) {
  if (context.api.delete_file == nullptr) return Missing("OBCA_DeleteFile");
  if (args.count() != 1) return Fail("file rm needs a label");
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  return Report("file rm " + args.at(0),
                context.api.delete_file(args.at(0).c_str(), StoreSelector(args)));
}

int FileListCommand(Context &context, const Args &args) {
  if (context.api.read_label_list == nullptr) return Missing("OBCA_ReadLabelList");
  uint8_t list[OB_LABEL_COUNT * OB_LABEL_SLOT_SIZE] = {};
  uint32_t count = 0;
  int32_t status = context.api.read_label_list(StoreSelector(args), list, &count);
  if (status != OB_OK) return Report("file ls", status);
  for (uint32_t i = 0; i < count && i < OB_LABEL_COUNT; ++i) {
    const char *label = reinterpret_cast<const char *>(list + i * OB_LABEL_SLOT_SIZE);
    std::printf("%.*s\n", static_cast<int>(OB_LABEL_SLOT_SIZE - 1), label);
  }
  std::printf("%u label(s)\n", count);
  return 0;
}

}  // namespace

void AddFileCommands(std::vector<Command> *table) {
  table->push_back({"cert import", "FILE --type sig|enc [--pin PIN]",
                    "store a user certificate (DER or PEM) beside its key pair",
                    CertImportCommand});
  table->push_back({"cert export", "--type sig|enc --out FILE [--pem]",
                    "read a user certificate back", CertExportCommand});
  table->push_back({"file put", "LABEL FILE [--store N] [--pin PIN]",
                    "store a labelled file on the token", FilePutCommand});
  table->push_back(
      {"file get", "LABEL [--store N] [--out FILE]", "read a labelled file", FileGetCommand});
  table->push_back(
      {"file rm", "LABEL [--store N] [--pin PIN]", "remove a labelled file", FileRemoveCommand});
  table->push_back({"file ls", "[--store N]", "list the labels", FileListCommand});
}

}  // namespace obkeyctl

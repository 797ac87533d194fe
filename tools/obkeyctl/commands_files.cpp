// Certificates on the token and labelled files.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "certificates.h"
#include "cli.h"
#include "pkcs11_view.h"
#include "rsa_blobs.h"
#include "softtoken_status.h"
#include "token_view.h"

namespace obkeyctl {
namespace {

constexpr uint32_t kCertificateCapacity = 4096;
constexpr uint32_t kFileCapacity = 64 * 1024;

uint32_t KeyType(const Args &args) {
  return args.Get("type") == "enc" ? OB_KEY_TYPE_EXCHANGE : OB_KEY_TYPE_SIGNATURE;
}

uint32_t StoreSelector(const Args &args) {
  return args.Get("store", "0") == "1" ? 1u : OB_STORE_LABELS;
}

// Why obkey refuses a label, from the label alone.
std::vector<Finding> LabelFindings(const std::string &label) {
  std::vector<Finding> findings;
  if (label.empty()) findings.push_back({"the label is empty", "give a label of 1 to 18 bytes"});
  if (label.size() > OB_LABEL_MAX) {
    findings.push_back({"the label " + label + " is " + std::to_string(label.size()) +
                            " bytes; labels are at most 18",
                        "use a shorter label"});
  }
  return findings;
}

// Why a certificate should not go where it was asked to; empty when it may.
std::vector<Finding> CertificateRefusals(Context &context, uint32_t key_type,
                                         const std::vector<uint8_t> &der,
                                         const CertificateFacts &facts, bool *out_mismatched) {
  *out_mismatched = false;
  std::string names[2];
  ContainerNames(context, names);
  const Slot &slot = SlotOf(key_type);
  const std::string &container = names[slot.index];
  const std::string role = slot.role;
  std::vector<Finding> refusals;
  std::vector<uint8_t> blob;
  if (container.empty() || !PublicKeyBlob(context, container + slot.suffix, &blob)) {
    refusals.push_back({"there is no " + role + " key pair on the token" +
                            (container.empty() ? "" : " (container " + container + ")") +
                            ", so no key matches the certificate",
                        "generate the key pair first: obkeyctl genkey NAME --type " +
                            std::string(key_type == OB_KEY_TYPE_EXCHANGE ? "enc" : "sig")});
  } else if (BlobPublicKey(blob) != facts.public_key) {
    *out_mismatched = true;
    refusals.push_back({"the certificate's public key (" + KeyFingerprint(facts.public_key) +
                            ") is not that of the " + role + " key pair in " + container + " (" +
                            KeyFingerprint(BlobPublicKey(blob)) + ")",
                        "import the certificate issued for this key pair"});
  }
  std::vector<uint8_t> present;
  CertificateFacts old;
  if (CertificateOf(context, key_type, &present) && present != der) {
    bool known = DescribeCertificate(present, &old);
    refusals.push_back(
        {"the " + role + " container already holds a certificate" +
             (known ? " (subject " + old.subject + ", until " + old.not_after + ")" : ""),
         "export it first if you need it: obkeyctl cert export --type " +
             std::string(key_type == OB_KEY_TYPE_EXCHANGE ? "enc" : "sig")});
  }
  return refusals;
}

int CertImportCommand(Context &context, const Args &args) {
  uint32_t key_type = KeyType(args);
  std::vector<uint8_t> file = ReadInput(args.at(0)), der;
  CertificateFacts facts;
  if (!CertificateFileToDer(file, args.Get("inform"), &der) || !DescribeCertificate(der, &facts)) {
    Failure(args.at(0) + " holds no certificate" +
            (args.Has("inform") ? " in " + args.Get("inform") + " form" : ""));
  }
  auto import_cert = Require(context.api().import_cert, "OBCERT_ImportCert");
  context.LogIn(args);
  bool mismatched = false;
  std::vector<Finding> refusals = CertificateRefusals(context, key_type, der, facts, &mismatched);
  if (!refusals.empty() && !args.Has("force")) {
    // A certificate of another key serves no signature of this token: no
    // hint to store it all the same.
    Failure(std::string("cert import: refused, nothing was changed") +
                (mismatched ? "" : " (--force stores it all the same)"),
            refusals);
  }
  context.BeforeTokenCall(true);
  DataBlob cert{static_cast<uint32_t>(der.size()), der.data()};
  int32_t status =
      context.Call("OBCERT_ImportCert", [&] { return import_cert(0, &cert, 0, 0, 0, key_type); });
  context.Check("cert import", status, [&](int32_t failed) {
    std::vector<Finding> findings;
    if (failed == XCST_CERT_LENGTH) {
      findings.push_back({"the certificate is " + std::to_string(der.size()) +
                              " bytes; the token keeps at most 4096",
                          ""});
    }
    if (failed == XCST_CONTAINER_NOT_FOUND || failed == OB_E_ARGUMENT) {
      findings.push_back(
          {"there is no " +
               std::string(key_type == OB_KEY_TYPE_EXCHANGE ? "exchange" : "signature") +
               " container for the certificate",
           "generate its key pair first: obkeyctl genkey NAME --type " + args.Get("type")});
    }
    return findings;
  });
  return context.Done("cert import", facts.subject);
}

int CertExportCommand(Context &context, const Args &args) {
  uint32_t key_type = KeyType(args);
  auto export_cert = Require(context.api().export_cert, "OBCERT_ExportCert");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  std::vector<uint8_t> der(kCertificateCapacity);
  DataBlob cert{static_cast<uint32_t>(der.size()), der.data()};
  int32_t status =
      context.Call("OBCERT_ExportCert", [&] { return export_cert(&cert, 0, &key_type); });
  context.Check("cert export", status);
  der.resize(cert.cbData);
  if (args.Get("outform", "pem") == "der") {
    Emit(args, der.data(), der.size(), false);
    return kExitOk;
  }
  std::string pem;
  if (!CertificateToPem(der, &pem)) Failure("the token's certificate does not parse");
  EmitText(args, pem, false);
  return kExitOk;
}

// LabelledBytes is what the labelled files other than `except` take.
uint64_t LabelledBytes(Context &context, const std::string &except) {
  auto export_file = Require(context.api().export_file, "OBCA_ExportFile");
  std::vector<uint8_t> data(kFileCapacity);
  uint64_t total = 0;
  for (const std::string &label : Labels(context)) {
    uint32_t len = static_cast<uint32_t>(data.size());
    if (label != except &&
        export_file(label.c_str(), OB_STORE_LABELS, data.data(), &len) == OB_OK) {
      total += len;
    }
  }
  return total;
}

int FilePutCommand(Context &context, const Args &args) {
  const std::string label = args.at(0);
  const std::string source = args.count() > 1 ? args.at(1) : "-";
  std::vector<uint8_t> data = ReadInput(source);
  if (data.size() > kFileCapacity) {
    Failure("file put " + label + ": " + source + " is " + std::to_string(data.size()) +
                " bytes; the token keeps at most " + std::to_string(kFileCapacity) +
                " bytes of files in all",
            {{"the file is larger than the token's whole file space", "store a smaller file"}});
  }
  auto import_file = Require(context.api().import_file, "OBCA_ImportFile");
  context.LogIn(args);
  context.BeforeTokenCall(true);
  if (StoreSelector(args) == OB_STORE_LABELS && LabelFindings(label).empty()) {
    // obkey refuses a new label in a full directory with a bare -1.
    std::vector<std::string> labels = Labels(context);
    if (labels.size() >= OB_LABEL_COUNT &&
        std::find(labels.begin(), labels.end(), label) == labels.end()) {
      Failure("file put " + label + ": the label directory is full; nothing was stored",
              {{"the token holds 10 labels, the most it can",
                "remove one first: obkeyctl file rm LABEL (obkeyctl file ls lists them)"}});
    }
  }
  // An empty file still hands over a valid pointer, which the library needs.
  uint8_t none = 0;
  int32_t status = context.Call("OBCA_ImportFile", [&] {
    return import_file(label.c_str(), StoreSelector(args), data.empty() ? &none : data.data(),
                       static_cast<uint32_t>(data.size()));
  });
  context.Check("file put " + label, status, [&](int32_t failed) {
    std::vector<Finding> findings = LabelFindings(label);
    // The software token's file space; a PKCS #11 module says for itself.
    if (!UsesPkcs11(context.settings) && failed == XCST_FILE_SPACE_FULL) {
      findings.push_back({"the token's file space (64 KiB in all) has no room for " +
                              std::to_string(data.size()) + " more bytes: its labelled files " +
                              "take " + std::to_string(LabelledBytes(context, label)) +
                              " bytes besides this label's",
                          "remove files (obkeyctl file rm LABEL) or store a smaller one"});
    }
    return findings;
  });
  return context.Done("file put " + label, std::to_string(data.size()) + " bytes stored");
}

int FileGetCommand(Context &context, const Args &args) {
  const std::string label = args.at(0);
  auto export_file = Require(context.api().export_file, "OBCA_ExportFile");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  std::vector<uint8_t> data(kFileCapacity);
  uint32_t len = static_cast<uint32_t>(data.size());
  int32_t status = context.Call("OBCA_ExportFile", [&] {
    return export_file(label.c_str(), StoreSelector(args), data.data(), &len);
  });
  context.Check("file get " + label, status, [&](int32_t failed) {
    std::vector<Finding> findings = LabelFindings(label);
    if (failed == OB_E_ARGUMENT && findings.empty()) {
      findings.push_back(
          {"there is no label " + label + " on the token", "`obkeyctl file ls` lists the labels"});
    }
    return findings;
  });
  Emit(args, data.data(), len, false);
  return kExitOk;
}

int FileRemoveCommand(Context &context, const Args &args) {
  const std::string label = args.at(0);
  auto delete_file = Require(context.api().delete_file, "OBCA_DeleteFile");
  context.LogIn(args);
  context.BeforeTokenCall(true);
  if (StoreSelector(args) == OB_STORE_LABELS) {
    std::vector<std::string> labels = Labels(context);
    if (std::find(labels.begin(), labels.end(), label) == labels.end()) {
      Failure("file rm: there is no label " + label + " on the token; nothing was removed",
              {{"the label is spelt otherwise, or was removed before",
                "`obkeyctl file ls` lists the labels"}});
    }
  }
  int32_t status = context.Call("OBCA_DeleteFile",
                                [&] { return delete_file(label.c_str(), StoreSelector(args)); });
  context.Check("file rm " + label, status, [&](int32_t) { return LabelFindings(label); });
  return context.Done("file rm " + label);
}

int FileListCommand(Context &context, const Args &args) {
  auto read_label_list = Require(context.api().read_label_list, "OBCA_ReadLabelList");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  uint8_t list[OB_LABEL_COUNT * OB_LABEL_SLOT_SIZE] = {};
  uint32_t count = 0;
  int32_t status = context.Call("OBCA_ReadLabelList",
                                [&] { return read_label_list(StoreSelector(args), list, &count); });
  context.Check("file ls", status);
  for (uint32_t i = 0; i < count && i < OB_LABEL_COUNT; ++i) {
    const char *label = reinterpret_cast<const char *>(list + i * OB_LABEL_SLOT_SIZE);
    std::printf("%.*s\n", static_cast<int>(OB_LABEL_SLOT_SIZE - 1), label);
  }
  if (!context.settings.quiet) std::fprintf(stderr, "%u label(s)\n", count);
  return kExitOk;
}

}  // namespace

void AddFileCommands(std::vector<Command> *table) {
  table->push_back(
      {"cert import", "CERTFILE", "type=sig|enc! inform=pem|der force @pin",
       "store a user certificate beside its key pair",
       "The certificate must hold the public key of the container's key pair of\n"
       "that type, and a different certificate already there is not replaced;\n"
       "--force replaces it (and stores even a certificate of another key, which no\n"
       "signature of this token matches).\n"
       "\nexamples:\n"
       "  obkeyctl cert import signer.crt --type sig\n"
       "  openssl x509 -in signer.crt -outform DER | obkeyctl cert import - --type sig "
       "--inform der --pin-file ~/.pin\n",
       CertImportCommand});
  table->push_back({"cert export", "", "type=sig|enc! outform=pem|der @out @pin",
                    "read a user certificate back (PEM by default)",
                    "\nexamples:\n"
                    "  obkeyctl cert export --type sig --out signer.pem\n"
                    "  obkeyctl cert export --type sig --outform der | openssl x509 -inform DER "
                    "-noout -subject\n",
                    CertExportCommand});
  table->push_back({"file put", "LABEL [FILE]", "store=0|1 @pin",
                    "store a labelled file on the token (FILE or standard input)",
                    "Labels are 1 to 18 bytes; the token holds 10 labels. The labels\n"
                    "LAB_USERCERT_SIG and LAB_USERCERT_ENC are the two user certificates.\n"
                    "\nexamples:\n"
                    "  obkeyctl file put NOTES notes.txt\n"
                    "  echo hello | obkeyctl file put GREETING --pin-file ~/.pin\n",
                    FilePutCommand});
  table->push_back({"file get", "LABEL", "store=0|1 @out @pin", "read a labelled file",
                    "\nexample:\n  obkeyctl file get NOTES --out notes.txt\n", FileGetCommand});
  table->push_back({"file rm", "LABEL", "store=0|1 @pin", "remove a labelled file",
                    "\nexample:\n  obkeyctl file rm NOTES\n", FileRemoveCommand});
  table->push_back({"file ls", "", "store=0|1 @pin", "list the labels",
                    "\nexample:\n  obkeyctl file ls\n", FileListCommand});
}

}  // namespace obkeyctl

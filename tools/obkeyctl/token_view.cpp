#include "token_view.h"

#include <cstdio>
#include <cstring>

#include "obkey_types.h"
#include "softtoken_status.h"
#include "system.h"

namespace obkeyctl {
namespace {

constexpr uint32_t kCertificateCapacity = 4096;

const Slot kSlots[2] = {{0, OB_KEY_TYPE_SIGNATURE, "signature", "\\03"},
                        {1, OB_KEY_TYPE_EXCHANGE, "exchange", "\\01"}};

// The container name the library printed for `slot`, or empty.
std::string PrintedName(const std::string &printed, int slot) {
  std::string marker = "XC_GetContainerParam " + std::to_string(slot) + " name=";
  size_t at = printed.find(marker);
  if (at == std::string::npos) return "";
  size_t end = printed.find('\n', at);
  return printed.substr(at + marker.size(), end - at - marker.size());
}

}  // namespace

const Slot &SlotOf(uint32_t key_type) {
  return key_type == OB_KEY_TYPE_EXCHANGE ? kSlots[1] : kSlots[0];
}

const Slot *Slots() {
  return kSlots;
}

void ContainerNames(Context &context, std::string out_names[2]) {
  auto print_containers = Require(context.api().print_containers, "OB_DisabelPVK");
  // The library prints the container names; nothing else tells them.
  StdoutDiversion capture(true);
  int32_t status = print_containers(0);
  std::string printed = capture.Finish();
  // OB_DisabelPVK reports a missing token only by what it prints.
  if (status == OB_OK && printed.find("No key connected.") != std::string::npos) {
    status = OB_E_NO_SESSION;
  }
  if (context.settings.verbose) {
    std::fprintf(stderr, "obkeyctl: OB_DisabelPVK -> %s\n%s", StatusLabel(status).c_str(),
                 printed.c_str());
  }
  context.Check(context.command_words, status);
  for (int slot = 0; slot < 2; ++slot) out_names[slot] = PrintedName(printed, slot);
}

bool PublicKeyBlob(Context &context, const std::string &key_name, std::vector<uint8_t> *out_blob) {
  auto export_public_key = Require(context.api().export_public_key, "OB_ExportPublicKey");
  std::string name = key_name;
  out_blob->assign(OB_PUBLIC_KEY_BLOB_LEN, 0);
  DataBlob key{static_cast<uint32_t>(name.size() + 1), reinterpret_cast<uint8_t *>(&name[0])};
  DataBlob out{static_cast<uint32_t>(out_blob->size()), out_blob->data()};
  if (context.Call("OB_ExportPublicKey", [&] { return export_public_key(&key, &out); }) != OB_OK) {
    return false;
  }
  out_blob->resize(out.cbData);
  return true;
}

bool CertificateOf(Context &context, uint32_t key_type, std::vector<uint8_t> *out_der) {
  auto export_cert = Require(context.api().export_cert, "OBCERT_ExportCert");
  out_der->assign(kCertificateCapacity, 0);
  DataBlob cert{static_cast<uint32_t>(out_der->size()), out_der->data()};
  if (context.Call("OBCERT_ExportCert", [&] { return export_cert(&cert, 0, &key_type); }) !=
          OB_OK ||
      cert.cbData == 0 || cert.cbData > out_der->size()) {
    return false;
  }
  out_der->resize(cert.cbData);
  return true;
}

std::vector<std::string> Labels(Context &context) {
  auto read_label_list = Require(context.api().read_label_list, "OBCA_ReadLabelList");
  uint8_t list[OB_LABEL_COUNT * OB_LABEL_SLOT_SIZE] = {};
  uint32_t count = 0;
  context.Check(context.command_words, context.Call("OBCA_ReadLabelList", [&] {
    return read_label_list(OB_STORE_LABELS, list, &count);
  }));
  std::vector<std::string> labels;
  for (uint32_t i = 0; i < count && i < OB_LABEL_COUNT; ++i) {
    const char *label = reinterpret_cast<const char *>(list + i * OB_LABEL_SLOT_SIZE);
    labels.emplace_back(label, strnlen(label, OB_LABEL_SLOT_SIZE - 1));
  }
  return labels;
}

std::string KeyNameContainer(const std::string &key_name) {
  size_t slash = key_name.rfind('\\');
  return slash == std::string::npos ? key_name : key_name.substr(0, slash);
}

}  // namespace obkeyctl

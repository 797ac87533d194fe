#include "tools/obkeyctl/cli.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "softtoken/softtoken_status.h"

namespace obkeyctl {

std::string Args::Get(const std::string &option, const std::string &fallback) const {
  auto found = options_.find(option);
  return found == options_.end() ? fallback : found->second;
}

bool Args::GetNumber(const std::string &option, uint32_t fallback, uint32_t *out_value) const {
  auto found = options_.find(option);
  if (found == options_.end()) {
    *out_value = fallback;
    return true;
  }
  const std::string &text = found->second;
  char *end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0') return false;
  *out_value = static_cast<uint32_t>(value);
  return true;
}

std::string StatusName(int32_t status) {
  switch (status) {
    case OB_OK:
      return "OK";
    case OB_E_ARGUMENT:
      return "OB_E_ARGUMENT";
    case OB_E_KEY_IMPORT:
      return "OB_E_KEY_IMPORT";
    case OB_E_NO_SESSION:
      return "OB_E_NO_SESSION";
    case OBCERT_E_PROPERTY:
      return "OBCERT_E_PROPERTY";
    case OBCERT_E_NO_CERT:
      return "OBCERT_E_NO_CERT";
    case OB_NTE_BAD_ALGID:
      return "NTE_BAD_ALGID";
    case CIPHER_E_KEY:
      return "CIPHER_E_KEY";
    case CIPHER_E_LENGTH:
      return "CIPHER_E_LENGTH";
    default:
      break;
  }
  const char *token_name = XcStatusName(status);
  if (token_name != nullptr) return std::string(token_name) + ": " + XcStatusText(status);
  return "status";
}

int Report(const std::string &what, int32_t status) {
  if (status == OB_OK) {
    std::printf("%s: ok\n", what.c_str());
    return 0;
  }
  std::fprintf(stderr, "%s: failed, %s (%d, 0x%08X)\n", what.c_str(), StatusName(status).c_str(),
               status, static_cast<uint32_t>(status));
  return 1;
}

int Fail(const std::string &message) {
  std::fprintf(stderr, "obkeyctl: %s (see --help)\n", message.c_str());
  return 2;
}

int Missing(const char *export_name) {
  std::fprintf(stderr, "obkeyctl: the loaded obkey library has no %s\n", export_name);
  return 1;
}

bool ReadFile(const std::string &path, std::vector<uint8_t> *out_bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "obkeyctl: cannot read %s\n", path.c_str());
    return false;
  }
  out_bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string &path, const uint8_t *bytes, size_t len) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(len));
  if (!file) {
    std::fprintf(stderr, "obkeyctl: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

std::string HexText(const uint8_t *bytes, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < len; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *out_bytes) {
  if (text.size() % 2 != 0) return false;
  out_bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char *end = nullptr;
    unsigned long value = std::strtoul(pair, &end, 16);
    if (*end != '\0') return false;
    out_bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

uint32_t KeyTypeOption(const Args &args) {
  std::string type = args.Get("type", "sig");
  if (type == "sig") return OB_KEY_TYPE_SIGNATURE;
  if (type == "enc") return OB_KEY_TYPE_EXCHANGE;
  return 0;
}

int Emit(const Args &args, const uint8_t *bytes, size_t len) {
  if (args.Has("out")) return WriteFile(args.Get("out"), bytes, len) ? 0 : 1;
  std::printf("%s\n", HexText(bytes, len).c_str());
  return 0;
}

bool LoggedIn(Context &context, const Args &args, int *out_exit) {
  int32_t status = LogInIfAsked(context, args);
  if (status == OB_OK) return true;
  *out_exit = Report("login", status);
  return false;
}

int32_t LogInIfAsked(Context &context, const Args &args) {
  if (!args.Has("pin")) return OB_OK;
  if (context.api.login == nullptr) return OB_E_ARGUMENT;
  return context.api.login(1, args.Get("pin").c_str());
}

}  // namespace obkeyctl

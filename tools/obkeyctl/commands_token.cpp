// The token as a whole: format, login, PIN change, status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "token/device_config.h"
#include "tools/obkeyctl/cli.h"

namespace obkeyctl {
namespace {

// The device that formatting is for: --device, else the configured one.
bool DeviceToFormat(int32_t *out_device) {
  const char *chosen = std::getenv("OBKEYCTL_DEVICE");
  if (chosen != nullptr && chosen[0] != '\0') {
    *out_device = static_cast<int32_t>(std::strtol(chosen, nullptr, 10));
    return true;
  }
  return obkey::ReadConfiguredDevice(out_device);
}

int FormatCommand(Context &context, const Args &) {
  if (context.api.format == nullptr) return Missing("OBCA_Format");
  int32_t device = 0;
  if (!DeviceToFormat(&device)) return Fail("no device configured; give --device N");
  return Report("format device " + std::to_string(device), context.api.format(device, 0));
}

int LoginCommand(Context &context, const Args &args) {
  if (context.api.login == nullptr) return Missing("OBCA_Login");
  if (args.count() != 1) return Fail("login needs the PIN");
  return Report("login", context.api.login(1, args.at(0).c_str()));
}

DataBlob TextBlob(const std::string &text) {
  return DataBlob{static_cast<uint32_t>(text.size()),
                  reinterpret_cast<uint8_t *>(const_cast<char *>(text.data()))};
}

int ChangePinCommand(Context &context, const Args &args) {
  if (context.api.change_pin == nullptr) return Missing("OB_SetPVKEnabelData");
  if (args.count() != 2) return Fail("change-pin needs the current and the new PIN");
  DataBlob old_pin = TextBlob(args.at(0));
  DataBlob new_pin = TextBlob(args.at(1));
  return Report("change-pin", context.api.change_pin(0, &old_pin, &new_pin, 0));
}

int StatusCommand(Context &context, const Args &) {
  if (context.api.print_containers == nullptr) return Missing("OB_DisabelPVK");
  std::printf("containers (exchange slot 1, signature slot 0):\n");
  std::fflush(stdout);
  return Report("status", context.api.print_containers(0));
}

}  // namespace

void AddTokenCommands(std::vector<Command> *table) {
  table->push_back(
      {"format", "", "format the token (erases everything; PIN becomes 12345678)", FormatCommand});
  table->push_back({"login", "PIN", "verify the user PIN", LoginCommand});
  table->push_back({"change-pin", "OLD NEW", "change the user PIN", ChangePinCommand});
  table->push_back({"status", "", "show the token's two containers", StatusCommand});
}

}  // namespace obkeyctl

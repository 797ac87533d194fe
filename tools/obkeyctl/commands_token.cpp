// The token as a whole: format, login, PIN change, status.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "diagnose.h"
#include "key_operation.h"
#include "pkcs11_view.h"
#include "softtoken_status.h"
#include "system.h"
#include "token_view.h"

namespace obkeyctl {
namespace {

constexpr char kFormattedPin[] = "12345678";

int FormatCommand(Context &context, const Args &args) {
  Environment environment = DescribeEnvironment(context.settings);
  if (!environment.device_known) {
    std::vector<Finding> findings = DiagnoseReach(environment);
    throw Stop{kExitUsage, "format: which device? give --device N", findings};
  }
  const std::string device = std::to_string(environment.device);
  // The token's own SO PIN, for a module whose SO PIN cannot be obkey's
  // fixed admin PIN.
  Secret so_pin;
  const bool own_so_pin = args.Has("so-pin-file") || args.Has("so-pin-stdin");
  if (own_so_pin) ReadPin(args, "so-pin", "SO PIN", false, &so_pin);
  std::string target = "device " + device + " (software token store " + environment.store_path +
                       (environment.token_dir_from == "default"
                            ? ", the default folder)"
                            : ", folder from " + environment.token_dir_from + ")");
  if (UsesPkcs11(context.settings)) {
    // Name the token that would be erased; one that cannot be reached is
    // not formatted blind.
    ModuleProbe probe = ProbeToken(environment);
    std::vector<Finding> findings = Pkcs11Reach(environment, probe);
    if (!probe.device_found) {
      throw Stop{kExitUnreachable, "format: device " + device + " cannot be reached", findings};
    }
    target = "device " + device + ", " + Pkcs11Target(probe);
    if (probe.token_initialized && !own_so_pin) target += SoPinNote(probe);
  }
  if (!args.Has("yes")) {
    if (!IsTerminal(0)) {
      UsageError("format erases " + target + "; off a terminal it needs --yes");
    }
    std::string answer =
        AskLine("Formatting erases " + target +
                ": every key, certificate and file on it, and sets the user "
                "PIN to " +
                kFormattedPin + ".\nType the device number (" + device + ") to go on: ");
    if (answer != device) Failure("format not confirmed; nothing was changed");
  } else {
    context.Note("formatting " + target);
  }
  auto format = Require(context.api().format, "OBCA_Format");
  context.BeforeTokenCall(false);
  int32_t status = 0;
  if (own_so_pin) {
    std::string error;
    auto format_mw_key = LoadedFormatMWKey(&error);
    if (format_mw_key == nullptr) Failure("format: " + error);
    const char *pin = so_pin.text().c_str();
    status =
        context.Call("FormatMWKey", [&] { return format_mw_key(pin, pin, environment.device); });
  } else {
    status = context.Call("OBCA_Format", [&] { return format(environment.device, 0); });
  }
  context.Check("format device " + device, status, [&](int32_t) {
    std::vector<Finding> findings;
    if (status == OB_E_ARGUMENT || status == XCST_BAD_ARGUMENT) {
      findings.push_back(
          {"the formatting library refused device " + device, "use a device number from 0 up"});
    }
    if (UsesPkcs11(context.settings)) {
      for (Finding &finding : Pkcs11FormatFindings(status, environment, own_so_pin)) {
        findings.push_back(finding);
      }
    }
    return findings;
  });
  return context.Done("format device " + device,
                      std::string("the user PIN is now ") + kFormattedPin);
}

int LoginCommand(Context &context, const Args &args) {
  context.LogIn(args);
  return context.Done("login");
}

DataBlob TextBlob(const obkey::SecretString &text) {
  return DataBlob{static_cast<uint32_t>(text.size()),
                  reinterpret_cast<uint8_t *>(const_cast<char *>(text.data()))};
}

int ChangePinCommand(Context &context, const Args &args) {
  Secret old_pin, new_pin;
  ReadPin(args, "pin", "current PIN", false, &old_pin);
  ReadPin(args, "new-pin", "new PIN", true, &new_pin);
  auto change_pin = Require(context.api().change_pin, "OB_SetPVKEnabelData");
  context.BeforeTokenCall(true);
  DataBlob old_record = TextBlob(old_pin.text());
  DataBlob new_record = TextBlob(new_pin.text());
  context.Check("change-pin", context.Call("OB_SetPVKEnabelData", [&] {
    return change_pin(0, &old_record, &new_record, 0);
  }));
  return context.Done("change-pin", "the new PIN is set");
}

int StatusCommand(Context &context, const Args &args) {
  context.api();
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  std::string names[2];
  ContainerNames(context, names);
  std::string result;
  for (int i = 0; i < 2; ++i) {
    const Slot &slot = Slots()[i];
    std::string line = std::string(slot.role) + " container (slot " + std::to_string(slot.index) +
                       "): " + (names[i].empty() ? "none" : names[i]);
    std::vector<uint8_t> blob;
    if (!names[i].empty()) {
      std::string key_name = names[i] + slot.suffix;
      line += PublicKeyBlob(context, key_name, &blob)
                  ? ", " + std::string(slot.role) + " key pair " + key_name
                  : ", no " + std::string(slot.role) + " key pair";
    }
    result += line + "\n";
  }
  std::fputs(result.c_str(), stdout);
  return kExitOk;
}

}  // namespace

void AddTokenCommands(std::vector<Command> *table) {
  table->push_back(
      {"format", "", "yes so-pin-file= so-pin-stdin",
       "erase the token and make it new (the user PIN becomes 12345678)",
       "Formatting erases both containers, every key pair, certificate and labelled file, and\n"
       "sets the user PIN to 12345678 with 10 tries. The device is --device N or the\n"
       "configured one. On a terminal obkeyctl names the device and asks you to type its\n"
       "number; elsewhere it needs --yes. A software token that does not exist yet is made.\n"
       "obkey formats with its fixed admin PIN as the token's SO PIN; a PKCS #11 token whose\n"
       "SO PIN is another (one of 4 to 8 characters, say) is formatted with it, given with\n"
       "--so-pin-file or --so-pin-stdin.\n"
       "\nexamples:\n"
       "  obkeyctl format --device 0          # asks for confirmation\n"
       "  obkeyctl format --device 0 --yes    # in a script\n"
       "  obkeyctl format --yes --so-pin-file so.pin  # a token with an SO PIN of its own\n",
       FormatCommand});
  table->push_back({"login", "", "@pin", "check the user PIN",
                    "Tells whether the token accepts the PIN (a wrong one costs a try; the token\n"
                    "locks after 10 wrong PINs in a row). Commands that need the PIN check it\n"
                    "themselves: obkey keeps no login between processes.\n"
                    "\nexamples:\n"
                    "  obkeyctl login                      # asks for the PIN\n"
                    "  obkeyctl login --pin-file ~/.pin\n"
                    "  printf '%s\\n' \"$PIN\" | obkeyctl login --pin-stdin\n",
                    LoginCommand});
  table->push_back({"change-pin", "", "@pin @new-pin", "change the user PIN",
                    "On a terminal obkeyctl asks the current PIN and the new one twice. With\n"
                    "--pin-stdin and --new-pin-stdin the first line is the current PIN and the\n"
                    "second the new one.\n"
                    "\nexamples:\n"
                    "  obkeyctl change-pin\n"
                    "  printf '12345678\\n24681357\\n' | obkeyctl change-pin --pin-stdin "
                    "--new-pin-stdin\n",
                    ChangePinCommand});
  table->push_back({"status", "", "@pin", "show the token's two containers and their key pairs",
                    "`obkeyctl list` shows certificates, files and PIN tries as well.\n"
                    "\nexample:\n  obkeyctl status\n",
                    StatusCommand});
}

}  // namespace obkeyctl

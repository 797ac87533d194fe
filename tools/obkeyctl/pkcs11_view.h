// What obkeyctl can see of p11token, the token library over a PKCS #11
// module: which module it loads, whether the module starts, and which token
// a device is; the cause and fix of a failure in a module's terms.
#ifndef OBKEY_TOOLS_OBKEYCTL_PKCS11_VIEW_H
#define OBKEY_TOOLS_OBKEYCTL_PKCS11_VIEW_H

#include <stdint.h>

#include <string>
#include <vector>

#include "cli.h"
#include "diagnose.h"
#include "module_probe.h"

namespace obkeyctl {

using obkey::p11token::ModuleProbe;

// TokenLibraryInUse is the token library obkey uses: --token-library, else
// the one loaded beside obkey (loading obkey to find it); `*out_from` says
// which. Empty when obkey cannot be loaded.
std::string TokenLibraryInUse(const Settings &settings, std::string *out_from);

// UsesPkcs11 says whether the token library is p11token: its file lies in a
// folder named "p11token" (the build tree, the install tree and the Windows
// zip all put it there), or a PKCS #11 module is configured.
bool UsesPkcs11(const Settings &settings);

// ProbeToken loads and starts the configured module as p11token does and
// reads the token of the environment's device.
ModuleProbe ProbeToken(const Environment &environment);

// Pkcs11Reach: why the module or the device's token cannot be reached, each
// cause with a fix that fits a PKCS #11 module; empty when the probe found
// the token.
std::vector<Finding> Pkcs11Reach(const Environment &environment, const ModuleProbe &probe);

// Pkcs11Findings is what Context::Check adds to a failing status when the
// token library is p11token, in place of the software token's advice: why
// the token cannot be reached, and the module's own answer (a refusal, a
// missing mechanism, a CKR_ value) with a fix that fits the module. With
// `explained` (the command explained the status itself) only the first.
std::vector<Finding> Pkcs11Findings(int32_t status, const Environment &environment,
                                    bool explained = false);

// Pkcs11FormatFindings: why a format failed on a PKCS #11 token, in the
// module's terms: an SO PIN the module cannot take (naming its PIN lengths),
// a token the module did not initialise, a module that formats nothing.
// `own_so_pin`: the operator gave the token's SO PIN.
std::vector<Finding> Pkcs11FormatFindings(int32_t status, const Environment &environment,
                                          bool own_so_pin);

// SoPinNote is what the format prompt says of the SO PIN that re-formatting
// the probed token needs, when obkey's fixed admin PIN is to be it.
std::string SoPinNote(const ModuleProbe &probe);

// LogInToSeeObjects logs in for a command that reads obkey's objects (or
// creates a container) where the module keeps them private (they are seen
// only after a login): with the PIN options given, else saying why, with a
// prompt on a terminal or a stop that names the PIN options. Elsewhere the
// PIN options are left unread, as for any command that needs no PIN.
void LogInToSeeObjects(Context &context, const Args &args);

// Pkcs11Lines are config show's lines about the module: name, value, source.
struct ShowLine {
  std::string name, value, from;
};
std::vector<ShowLine> Pkcs11Lines(const Environment &environment, const ModuleProbe &probe);

// Pkcs11Target names the device's token: label, serial, slot and module.
std::string Pkcs11Target(const ModuleProbe &probe);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_PKCS11_VIEW_H

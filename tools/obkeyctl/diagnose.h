// What obkeyctl can see of the configuration and the software token, to say
// why a token call failed and how to put it right.
#ifndef OBKEY_TOOLS_OBKEYCTL_DIAGNOSE_H
#define OBKEY_TOOLS_OBKEYCTL_DIAGNOSE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "cli.h"

namespace obkeyctl {

// Where each setting comes from and what it is.
struct Environment {
  std::string config_where;  // the configuration file, or the registry key on Windows
  std::string config_from;   // "--registry", "$OBKEY_REGISTRY", "default", "registry"
  bool config_read = false;  // a USBKEY value was read
  std::string config_value;
  bool device_known = false;
  int32_t device = 0;
  std::string device_from;  // "--device" or the configuration
  std::string token_dir;
  std::string token_dir_from;  // "--token-dir", "$XCSP_TOKEN_DIR", "default"
  std::string store_path;      // token-N.db (empty when the device is unknown)
  std::string lock_path;
  std::string log_path;
  std::string log_from;
};

// DescribeEnvironment reads the configuration afresh.
Environment DescribeEnvironment(const Settings &settings);

// DiagnoseReach finds why a token session could not be opened: the
// configuration, the token folder, the store and its lock.
std::vector<Finding> DiagnoseReach(const Environment &environment);

// DiagnoseFolderControl finds the token folder, or a folder above it, that
// another account controls, which the software token refuses.
std::vector<Finding> DiagnoseFolderControl(const Environment &environment);

// DiagnoseWritable finds a token folder or store that cannot be written,
// and a disk without room for the store's next copy. With
// `count_room_kept_aside`, the room the software token keeps for its next
// commit counts (a change no larger than the last one still goes through
// on a full disk): a check before a change that the token may well make.
std::vector<Finding> DiagnoseWritable(const Environment &environment,
                                      bool count_room_kept_aside = false);

// TokenStatusFindings explains a status of the software token about its
// store (damaged, of another version, a key that fails its check, no room
// on the disk, unreadable, a shared folder), naming the status; empty for
// another status.
std::vector<Finding> TokenStatusFindings(int32_t token_status, const Environment &environment);

// FullDiskFindings names the disk of the token folder when it has less
// room than the store needs for its next copy; with `certain` (the token
// said so) also when the room left cannot be read.
std::vector<Finding> FullDiskFindings(const Environment &environment, bool certain);

// PinLockedFinding: the user PIN is locked, and what unlocks it.
Finding PinLockedFinding();

// TriesLeftText is "1 try left", "N tries left".
std::string TriesLeftText(int tries);

// PinTriesLeft reads the user PIN tries left from a software token store of
// the known layout; -1 when it cannot tell.
int PinTriesLeft(const Environment &environment);

// IsTokenStore: whether `bytes` begin as a software token store of any
// version (the token itself judges the rest when it opens it).
bool IsTokenStore(const std::vector<uint8_t> &bytes);

// ConfigValueForDevice is the USBKEY text naming device `device`.
std::string ConfigValueForDevice(int32_t device);

// RegistryFileText is the configuration file's whole text for a value.
std::string RegistryFileText(const std::string &value);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_DIAGNOSE_H

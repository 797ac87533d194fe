// TokenTestEnv: a private registry file and log file for one test, so that
// tests never touch the machine's own configuration.
#ifndef OBKEY_TESTS_FAKE_TOKEN_TEST_ENV_H
#define OBKEY_TESTS_FAKE_TOKEN_TEST_ENV_H

#include <stdint.h>

#include <string>

namespace obkey_test {

// DeviceValue is the configuration value that names device `device`.
std::string DeviceValue(int32_t device);
// RegistryText is the whole registry file text whose one configuration
// value is `usb_key_value`, escaped as the layout wants.
std::string RegistryText(const std::string &usb_key_value);
// WriteRegistryFile replaces the file at `path` with `text`, byte for byte;
// false when it cannot be written.
bool WriteRegistryFile(const std::string &path, const std::string &text);

class TokenTestEnv {
 public:
  // Points $OBKEY_REGISTRY and $OBKEY_LOG into a fresh folder and, unless
  // `usb_key_value` is empty, configures the device with it.
  explicit TokenTestEnv(const std::string &usb_key_value = "XCSP_KEY_7");
  ~TokenTestEnv();
  TokenTestEnv(const TokenTestEnv &) = delete;
  TokenTestEnv &operator=(const TokenTestEnv &) = delete;

  void SetUsbKeyValue(const std::string &value);
  // Replaces the registry file with `text` as it stands, for tests whose
  // point is an unusual or malformed file.
  void SetRegistryText(const std::string &text);
  void RemoveRegistry();
  const std::string &folder() const { return folder_; }
  std::string registry_path() const { return folder_ + "/registry.reg"; }
  std::string log_path() const { return folder_ + "/xml816.log"; }
  bool LogExists() const;
  // The whole log, or "" when there is none.
  std::string ReadLog() const;

 private:
  std::string folder_;
};

}  // namespace obkey_test

#endif  // OBKEY_TESTS_FAKE_TOKEN_TEST_ENV_H

// TokenTestEnv: a private registry file and log file for one test, so that
// tests never touch the machine's own configuration.
#ifndef OBKEY_TESTS_FAKE_TOKEN_TEST_ENV_H
#define OBKEY_TESTS_FAKE_TOKEN_TEST_ENV_H

#include <string>

namespace obkey_test {

class TokenTestEnv {
 public:
  // Points $OBKEY_REGISTRY and $OBKEY_LOG into a fresh folder and, unless
  // `usb_key_value` is empty, configures the device with it.
  explicit TokenTestEnv(const std::string &usb_key_value = "XCSP_KEY_7");
  ~TokenTestEnv();
  TokenTestEnv(const TokenTestEnv &) = delete;
  TokenTestEnv &operator=(const TokenTestEnv &) = delete;

  void SetUsbKeyValue(const std::string &value);
  void RemoveRegistry();
  const std::string &folder() const { return folder_; }
  std::string log_path() const { return folder_ + "/xml816.log"; }
  bool LogExists() const;
  // The whole log, or "" when there is none.
  std::string ReadLog() const;

 private:
  std::string folder_;
};

}  // namespace obkey_test

#endif  // OBKEY_TESTS_FAKE_TOKEN_TEST_ENV_H

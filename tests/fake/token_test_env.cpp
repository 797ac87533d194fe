#include "token_test_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "device_config.h"
#include "registry_text.h"

namespace obkey_test {

TokenTestEnv::TokenTestEnv(const std::string &usb_key_value) {
  std::string pattern = (std::filesystem::temp_directory_path() / "obkey-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  setenv("OBKEY_REGISTRY", (folder_ + "/registry.reg").c_str(), 1);
  setenv("OBKEY_LOG", log_path().c_str(), 1);
  if (!usb_key_value.empty()) SetUsbKeyValue(usb_key_value);
}

TokenTestEnv::~TokenTestEnv() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void TokenTestEnv::SetUsbKeyValue(const std::string &value) {
  std::ofstream reg(folder_ + "/registry.reg", std::ios::trunc);
  reg << obkey::platform::RegistryFileText(obkey::kConfigKeyPath, obkey::kConfigValueName, value);
}

void TokenTestEnv::RemoveRegistry() {
  std::remove((folder_ + "/registry.reg").c_str());
}

bool TokenTestEnv::LogExists() const {
  return std::filesystem::exists(log_path());
}

std::string TokenTestEnv::ReadLog() const {
  std::ifstream log(log_path(), std::ios::binary);
  std::stringstream text;
  text << log.rdbuf();
  return text.str();
}

}  // namespace obkey_test

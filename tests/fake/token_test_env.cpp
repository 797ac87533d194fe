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
#include "temp_folder.h"

namespace obkey_test {

std::string DeviceValue(int32_t device) {
  return "XCSP_KEY_" + std::to_string(device);
}

std::string RegistryText(const std::string &usb_key_value) {
  return obkey::platform::RegistryFileText(obkey::kConfigKeyPath, obkey::kConfigValueName,
                                           usb_key_value);
}

bool WriteRegistryFile(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  return !file.fail();
}

TokenTestEnv::TokenTestEnv(const std::string &usb_key_value) {
  folder_ = MakeTempFolder("obkey-test");
  if (folder_.empty()) throw std::runtime_error("no temporary folder");
  setenv("OBKEY_REGISTRY", registry_path().c_str(), 1);
  setenv("OBKEY_LOG", log_path().c_str(), 1);
  if (!usb_key_value.empty()) SetUsbKeyValue(usb_key_value);
}

TokenTestEnv::~TokenTestEnv() {
  RemoveTree(folder_);
}

void TokenTestEnv::SetUsbKeyValue(const std::string &value) {
  SetRegistryText(RegistryText(value));
}

void TokenTestEnv::SetRegistryText(const std::string &text) {
  if (!WriteRegistryFile(registry_path(), text)) {
    throw std::runtime_error("cannot write " + registry_path());
  }
}

void TokenTestEnv::RemoveRegistry() {
  std::remove(registry_path().c_str());
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

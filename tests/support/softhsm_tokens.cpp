#include "softhsm_tokens.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "shell_run.h"
#include "temp_folder.h"

namespace obkey_test {

SoftHsmTokens::SoftHsmTokens(int32_t token_count, const char *so_pin) {
  folder_ = MakeTempFolder("obkey-hsm");
  if (folder_.empty()) throw std::runtime_error("no temporary folder");
  std::filesystem::create_directory(folder_ + "/tokens");
  std::ofstream(folder_ + "/softhsm2.conf") << "directories.tokendir = " << folder_ << "/tokens\n"
                                            << "objectstore.backend = file\n"
                                            << "log.level = ERROR\n"
                                            << "slots.removable = false\n";
  setenv("SOFTHSM2_CONF", (folder_ + "/softhsm2.conf").c_str(), 1);
  setenv("OBKEY_PKCS11_MODULE", ModulePath().c_str(), 1);
  setenv("OBKEY_PKCS11_LOCK_DIR", folder_.c_str(), 1);
  ok_ = true;
  for (int32_t i = 0; i < token_count && ok_; ++i) {
    ok_ = RunTool(std::string(OBKEY_SOFTHSM2_UTIL) + " --init-token --free --label token-" +
                  std::to_string(i) + " --so-pin " + so_pin + " --pin " + kSoftHsmUserPin) == 0;
  }
}

SoftHsmTokens::~SoftHsmTokens() {
  RemoveTree(folder_);
}

std::string SoftHsmTokens::ModulePath() {
  return OBKEY_SOFTHSM2_MODULE;
}

int SoftHsmTokens::RunTool(const std::string &command, std::string *out_text) const {
  std::string line = "SOFTHSM2_CONF=" + ShellQuote(folder_ + "/softhsm2.conf") + " " + command +
                     (out_text == nullptr ? " >/dev/null" : "") + " 2>&1";
  FILE *pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    if (out_text != nullptr) out_text->append(buffer, got);
  }
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SoftHsmTokens &ProcessSoftHsmTokens(int32_t token_count) {
  static SoftHsmTokens tokens(token_count);
  return tokens;
}

}  // namespace obkey_test

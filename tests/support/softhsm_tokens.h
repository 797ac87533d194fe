// SoftHsmTokens: a SoftHSMv2 token store in a temporary folder, with its own
// configuration file, so that tests never touch the machine's tokens.
#ifndef OBKEY_TESTS_SUPPORT_SOFTHSM_TOKENS_H
#define OBKEY_TESTS_SUPPORT_SOFTHSM_TOKENS_H

#include <stdint.h>

#include <string>

#include "key_operation.h"

namespace obkey_test {

// The admin (SO) PIN obkey formats with, and the user PIN after formatting.
inline constexpr char kSoftHsmSoPin[] = KEY_OPERATION_ADMIN_PIN;
inline constexpr char kSoftHsmUserPin[] = "12345678";

class SoftHsmTokens {
 public:
  // Makes the folder and configuration, initialises `token_count` tokens
  // (labels "token-0"...) with softhsm2-util and the SO PIN `so_pin`, and points $SOFTHSM2_CONF,
  // $OBKEY_PKCS11_MODULE and p11token's lock folder at them. SoftHSMv2 orders its slots by an id
  // drawn from each token's serial number and keeps one uninitialised slot last, so devices 0 to
  // token_count - 1 are the initialised tokens, in an order of SoftHSMv2's, and device token_count
  // is the free slot.
  explicit SoftHsmTokens(int32_t token_count, const char *so_pin = kSoftHsmSoPin);
  ~SoftHsmTokens();
  SoftHsmTokens(const SoftHsmTokens &) = delete;
  SoftHsmTokens &operator=(const SoftHsmTokens &) = delete;

  const std::string &folder() const { return folder_; }
  bool ok() const { return ok_; }

  // ModulePath is the SoftHSMv2 module the build found.
  static std::string ModulePath();

  // RunTool runs `command` (a shell command line) with this store's
  // configuration and returns its exit status; its standard output is
  // stored in `*out_text` when not null.
  int RunTool(const std::string &command, std::string *out_text = nullptr) const;

 private:
  std::string folder_;
  bool ok_ = false;
};

// ProcessSoftHsmTokens is one store of `token_count` tokens for the whole
// process (a PKCS #11 module reads its configuration once, at
// C_Initialize), made on first use and removed at exit.
SoftHsmTokens &ProcessSoftHsmTokens(int32_t token_count = 6);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_SOFTHSM_TOKENS_H

// The software token as the stand-in uses it: one session on the device that
// obkey is configured for, the public keys of its two key pairs, signing
// and certificate writing.
#ifndef OBKEY_ENROLLSIM_TOKEN_KEYS_H
#define OBKEY_ENROLLSIM_TOKEN_KEYS_H

#include <stdint.h>

#include <vector>

#include "ossl.h"
#include "xcsp_eclib.h"

namespace obkey::enrollsim {

// TokenSession connects to the device named by the USBKEY registry value and
// disconnects when it goes. status() is 0 when connected, VEST_NO_DEVICE
// without a usable value, else the status of XC_ConnectEkey.
class TokenSession {
 public:
  TokenSession();
  ~TokenSession();
  TokenSession(const TokenSession &) = delete;
  TokenSession &operator=(const TokenSession &) = delete;
  int32_t status() const { return status_; }
  XcHandle handle() const { return handle_; }

 private:
  int32_t status_;
  XcHandle handle_ = 0;
};

// A key pair on the token: the container of `slot` and the key of
// `key_type` in it (slot 0 / type 2 signature, slot 1 / type 1 exchange).
struct TokenKey {
  uint32_t slot;
  uint32_t key_type;
};
inline constexpr TokenKey kSignatureKey{XC_SLOT_SIGNATURE, XC_KEY_SIGNATURE};
inline constexpr TokenKey kExchangeKey{XC_SLOT_EXCHANGE, XC_KEY_EXCHANGE};

// OpenKey selects the container of `key` and reads its public key. Returns
// 0, the token library's status, or VEST_TOKEN_KEY for a key that is not a
// 1024-bit RSA key in the token's 135-byte layout.
int32_t OpenKey(const TokenSession &session, TokenKey key, XcHandle *out_container,
                Pkey *out_public_key);

// SignSha256 has the token sign the SHA-256 DigestInfo of `data` with the
// key of `key_type` in `container` (PKCS #1 v1.5; the token pads). The
// signature is 128 bytes, or the status is VEST_TOKEN_KEY.
int32_t SignSha256(XcHandle container, uint32_t key_type, const std::vector<uint8_t> &data,
                   std::vector<uint8_t> *out_signature);

// WriteMatchingCert writes `cert` to `container` as the certificate of
// `key_type` when its public key is `token_key`; else returns `mismatch`.
int32_t WriteMatchingCert(XcHandle container, uint32_t key_type, EVP_PKEY *token_key, X509 *cert,
                          int32_t mismatch);

}  // namespace obkey::enrollsim

#endif  // OBKEY_ENROLLSIM_TOKEN_KEYS_H

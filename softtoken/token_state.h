// token_state.h — the contents of one software token, as held in memory
// between reading and writing its store.
#ifndef OBKEY_SOFTTOKEN_TOKEN_STATE_H
#define OBKEY_SOFTTOKEN_TOKEN_STATE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "key_operation.h"
#include "wiping_allocator.h"

namespace obkey::softtoken {

constexpr size_t kContainerSlots = 2;
constexpr size_t kMaxContainerName = 47;
constexpr size_t kKeyTypes = 2;  // 1 exchange, 2 signature
constexpr size_t kMaxCertificate = 4096;
constexpr size_t kMaxPrivateKeyDer = 2048;
constexpr uint32_t kUserFileCapacity = 64 * 1024;
constexpr size_t kMaxUserFiles = 256;
constexpr uint8_t kUserPinTries = 10;
constexpr size_t kMaxPin = 64;
constexpr size_t kPinSaltSize = 16;
constexpr size_t kPinHashSize = 32;
constexpr size_t kLoginEpochSize = 16;
// Private keys are sealed with AES-256-GCM: a random nonce before the
// ciphertext, the tag after it.
constexpr size_t kTokenKeySize = 32;
constexpr size_t kSealNonceSize = 12;
constexpr size_t kSealTagSize = 16;
constexpr size_t kSealOverhead = kSealNonceSize + kSealTagSize;
constexpr size_t kMaxSealedKey = kMaxPrivateKeyDer + kSealOverhead;
constexpr size_t kMaxPublicKeyDer = 512;

constexpr char kInitialAdminPin[] = KEY_OPERATION_ADMIN_PIN;
constexpr char kInitialUserPin[] = "12345678";

// How a PIN becomes its check value. PBKDF2 is what older stores hold (and
// what the admin PIN keeps); the user PIN moves to scrypt, memory-hard, at
// its next successful check.
enum class PinKdf : uint8_t { kPbkdf2Sha256 = 1, kScrypt = 2 };

// ScryptCost is scrypt's N (as its base-2 logarithm), r and p.
struct ScryptCost {
  uint8_t log2_n = 0;
  uint32_t r = 0;
  uint32_t p = 0;
  bool operator==(const ScryptCost &other) const {
    return log2_n == other.log2_n && r == other.r && p == other.p;
  }
};

// The scrypt cost of a new user PIN derivation: 32 MiB of memory and a few
// tenths of a second per run, so that a stolen store yields only a few
// guesses per second per core (README.md has the figures).
constexpr ScryptCost kDefaultScryptCost{15, 8, 2};
constexpr uint8_t kMinScryptLog2N = 10;
constexpr uint8_t kMaxScryptLog2N = 20;

// ScryptCostAllowed says whether a stored cost may be run: log2 N within the
// bounds above, r 1 to 32, p 1 to 16, and at most 256 MiB and 16 times the
// default's work, so that a forged store cannot stall or exhaust a login.
bool ScryptCostAllowed(const ScryptCost &cost);

// ScryptN is scrypt's N; ScryptMemory what OpenSSL's scrypt allocates.
uint64_t ScryptN(const ScryptCost &cost);
uint64_t ScryptMemory(const ScryptCost &cost);

// PinHash is a salted derivation of a PIN: PBKDF2-HMAC-SHA256 with
// `iterations`, or scrypt at `scrypt` cost, whose one run also gives the
// key that wraps the token key (see key_seal.h). `hash` is the check value.
struct PinHash {
  PinKdf kdf = PinKdf::kPbkdf2Sha256;
  std::array<uint8_t, kPinSaltSize> salt{};
  std::array<uint8_t, kPinHashSize> hash{};
  uint32_t iterations = 0;
  ScryptCost scrypt;
};

struct UserPin {
  PinHash hash;
  uint8_t tries_left = kUserPinTries;
};

// How the token key (which seals every private key) is kept. kNone: there
// is none yet (a store written before keys were encrypted, keys in the
// clear). kOwnSalt: sealed under PBKDF2-HMAC-SHA256 of the user PIN with a
// salt and count of its own (stores before scrypt). kUserPin: sealed under
// the key that the user PIN's scrypt derivation gives beside its check value.
enum class WrapForm : uint8_t { kNone = 0, kOwnSalt = 1, kUserPin = 2 };

struct TokenKeyWrap {
  bool present() const { return form != WrapForm::kNone; }

  WrapForm form = WrapForm::kNone;
  std::array<uint8_t, kPinSaltSize> salt{};  // kOwnSalt only
  uint32_t iterations = 0;                   // kOwnSalt only
  std::array<uint8_t, kTokenKeySize + kSealOverhead> sealed{};
};

using obkey::SecretBytes;

// KeySlot is what a container holds for one key type (= key specification):
// the key pair, if any, and the certificate. A key pair is sealed (the
// private key's PKCS#1 DER encrypted under the token key, beside its public
// part as RSAPublicKey DER, readable without the PIN); only a store written
// before keys were encrypted holds it in the clear, until the first
// successful PIN check seals it. The clear key's buffer wipes every block
// it frees: on growth, on copy or move assignment over it, and on
// destruction.
struct KeySlot {
  bool HasKey() const { return !private_key_der.empty() || !sealed_key.empty(); }

  SecretBytes private_key_der;
  std::vector<uint8_t> sealed_key;
  std::vector<uint8_t> public_key_der;
  std::vector<uint8_t> certificate;
};

struct Container {
  bool present = false;
  std::string name;
  std::array<KeySlot, kKeyTypes> keys;  // index = key type - 1
};

// TokenState is everything a store file carries.
struct TokenState {
  // Replaced on every format and PIN change; a process remembers a verified
  // PIN only for the epoch it saw, so those events end every login.
  std::array<uint8_t, kLoginEpochSize> login_epoch{};
  PinHash admin_pin;
  UserPin user_pin;
  TokenKeyWrap token_key_wrap;
  std::array<Container, kContainerSlots> containers;
  std::map<uint32_t, std::vector<uint8_t>> user_files;  // number -> contents
};

// UserFileBytes is the capacity the token's user files take together.
uint64_t UserFileBytes(const TokenState &state);

// CertificateCount is the number of certificates in both containers.
size_t CertificateCount(const TokenState &state);

}  // namespace obkey::softtoken

#endif  // OBKEY_SOFTTOKEN_TOKEN_STATE_H

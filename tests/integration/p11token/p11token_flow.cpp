// p11token_flow: the token library's whole flow over the module that
// $OBKEY_PKCS11_MODULE names, step by step against the statuses expected of
// that module, and a writer that counts its user-file increments for the
// tests of several writers on one token. Run by real_modules.sh.
//
//   p11token_flow flow <tpm2|p11kit>           exit 0 when every step gave
//                                               the status expected of it
//   p11token_flow setup <file>                  a fresh token, file = 0
//   p11token_flow writer <file> <rounds>        prints "ok <n> ...", then the
//                                               values it wrote and was told done
//   p11token_flow read <file>                   prints "value <n>"
//   p11token_flow keys                          a fresh token with a signature
//                                               key; prints "key <modulus>"
//   p11token_flow rekey <rounds> <done file>    replaces the key, "key <modulus>"
//                                               each time, then makes the file
//   p11token_flow signer <rounds> <done file>   logs in, prints "ready", signs at
//                                               least <rounds> times and until
//                                               the file exists, "sig
//                                               <signature>" each, then
//                                               "signed <n> failed <m>"
//   p11token_flow check <file>...               every "sig" line of the files
//                                               made by one of their "key"s
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "key_operation.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_guard.h"
#include "p11token_status.h"
#include "rsa_blocks.h"
#include "rsa_test_keys.h"

namespace p11 = obkey::p11token;

namespace {

constexpr char kAdminPin[] = KEY_OPERATION_ADMIN_PIN;
constexpr char kUserPin[] = "12345678";
constexpr char kNewPin[] = "87654321";
constexpr int32_t kDevice = 0;
constexpr int32_t kCkr = P11ST_CKR_BASE;

const uint8_t *Bytes(const char *text) {
  return reinterpret_cast<const uint8_t *>(text);
}

struct Flow {
  XcHandle session = 0, sig = 0, enc = 0, file = 0;
  uint8_t block[XC_RSA_BLOCK] = {}, back[XC_RSA_BLOCK] = {};
  uint32_t block_len = 0, back_len = 0;
};

struct Step {
  const char *what;
  std::function<int32_t(Flow &)> run;
  // The status expected of each module: tpm2-pkcs11, SoftHSMv2 through
  // p11-kit's client. (SoftHSMv2 itself runs the behaviour suite.)
  int32_t tpm2, p11kit;
};

int32_t Roundtrip(Flow &f, XcHandle container, uint32_t key_type, bool sign) {
  const char message[] = "obkey over a real module";
  f.block_len = f.back_len = XC_RSA_BLOCK;
  auto op = sign ? p11::RSASign : p11::RSAEncrypt;
  auto undo = sign ? p11::RSAEncrypt : p11::RSADecrypt;
  uint32_t type = sign ? key_type + XC_KEY_SIGN_FLAG : key_type;
  int32_t status = p11::Guarded(
      [&] { return op(container, Bytes(message), sizeof(message), f.block, &f.block_len, type); });
  if (status != 0) return status;
  status = p11::Guarded(
      [&] { return undo(container, f.block, f.block_len, f.back, &f.back_len, type); });
  if (status != 0) return status;
  return f.back_len == sizeof(message) && std::memcmp(f.back, message, sizeof(message)) == 0
             ? 0
             : P11ST_CRYPTO;
}

std::vector<Step> FlowSteps() {
  namespace keys = obkey::softtoken::testing;
  std::vector<uint8_t> der = keys::StrictDer(keys::NewRsaKey(1024).get());
  return {
      {"format",
       [](Flow &) {
         return p11::Guarded([] { return p11::FormatToken(kAdminPin, kAdminPin, kDevice); });
       },
       0, 0},
      {"connect",
       [](Flow &f) { return p11::Guarded([&] { return p11::ConnectEkey(kDevice, &f.session); }); },
       0, 0},
      {"log in",
       [](Flow &f) {
         return p11::Guarded(
             [&] { return p11::VerifyPin(f.session, Bytes(kUserPin), 8, XC_PIN_USER); });
       },
       0, 0},
      {"create containers",
       [](Flow &f) {
         int32_t status = p11::Guarded([&] {
           return p11::CreateContainer(f.session, "FLOW_SIG", &f.sig, XC_CONTAINER_CREATE);
         });
         if (status != 0) return status;
         return p11::Guarded([&] {
           return p11::CreateContainer(f.session, "FLOW_ENC", &f.enc, XC_CONTAINER_CREATE);
         });
       },
       0, 0},
      {"generate keys",
       [](Flow &f) {
         int32_t status = p11::Guarded([&] { return p11::GenRSAKey(f.sig, XC_KEY_SIGNATURE); });
         if (status != 0) return status;
         return p11::Guarded([&] { return p11::GenRSAKey(f.enc, XC_KEY_EXCHANGE); });
       },
       0, 0},
      // tpm2-pkcs11 1.9 hands out a destroyed object's successor's handle
      // again (the replaced container directory's): the signature pair's
      // public half answers as the directory until the module is loaded
      // afresh, in a new process.
      {"sign and verify", [](Flow &f) { return Roundtrip(f, f.sig, XC_KEY_SIGNATURE, true); },
       kCkr | CKR_KEY_HANDLE_INVALID, 0},
      {"encrypt and decrypt", [](Flow &f) { return Roundtrip(f, f.enc, XC_KEY_EXCHANGE, false); },
       0, 0},
      // tpm2-pkcs11 makes no private key from its numbers (C_CreateObject).
      {"import a key",
       [der](Flow &f) {
         return p11::Guarded([&] {
           return p11::WriteRSAKey(f.enc, der.data(), static_cast<uint32_t>(der.size()),
                                   XC_KEY_EXCHANGE);
         });
       },
       kCkr | CKR_ATTRIBUTE_VALUE_INVALID, 0},
      {"the imported or kept key works",
       [](Flow &f) { return Roundtrip(f, f.enc, XC_KEY_EXCHANGE, false); }, 0, 0},
      {"write and read a certificate",
       [](Flow &f) {
         const uint8_t cert[] = {0x30, 0x03, 0x02, 0x01, 0x07};
         int32_t status = p11::Guarded(
             [&] { return p11::WriteCert(f.sig, cert, sizeof(cert), XC_KEY_SIGNATURE); });
         f.back_len = XC_RSA_BLOCK;
         if (status == 0)
           status = p11::Guarded(
               [&] { return p11::ReadCert(f.sig, f.back, &f.back_len, XC_KEY_SIGNATURE); });
         return status == 0 && f.back_len != sizeof(cert) ? P11ST_CRYPTO : status;
       },
       0, 0},
      {"labelled files",
       [](Flow &f) {
         int32_t status = p11::Guarded(
             [&] { return p11::CreateUserFile(f.session, 3, 8, XC_USER_FILE_CREATE, &f.file); });
         if (status == 0)
           status = p11::Guarded([&] { return p11::WriteUserFile(f.file, Bytes("labelled"), 8); });
         f.back_len = 8;
         if (status == 0)
           status = p11::Guarded([&] { return p11::ReadUserFile(f.file, f.back, &f.back_len); });
         return status == 0 && std::memcmp(f.back, "labelled", 8) != 0 ? P11ST_CRYPTO : status;
       },
       0, 0},
      {"change the PIN",
       [](Flow &f) {
         int32_t status = p11::Guarded([&] {
           return p11::ChangePin(f.session, Bytes(kUserPin), 8, Bytes(kNewPin), 8, XC_PIN_USER);
         });
         if (status == 0)
           status = p11::Guarded(
               [&] { return p11::VerifyPin(f.session, Bytes(kNewPin), 8, XC_PIN_USER); });
         return status;
       },
       0, 0},
      {"a second format",
       [](Flow &f) {
         p11::Guarded([&] { return p11::DisconnectEkey(f.session); });
         int32_t status =
             p11::Guarded([] { return p11::FormatToken(kAdminPin, kAdminPin, kDevice); });
         if (status == 0)
           status = p11::Guarded([&] { return p11::ConnectEkey(kDevice, &f.session); });
         if (status == 0)
           status = p11::Guarded(
               [&] { return p11::VerifyPin(f.session, Bytes(kUserPin), 8, XC_PIN_USER); });
         if (status == 0)
           status = p11::Guarded(
               [&] { return p11::SetCurContainer(f.session, XC_SLOT_SIGNATURE, &f.sig); });
         return status == P11ST_CONTAINER_NOT_FOUND ? 0 : (status == 0 ? P11ST_CRYPTO : status);
       },
       kCkr | CKR_FUNCTION_FAILED, 0},  // the same handles: real_modules.sh formats again
  };
}

int RunFlow(const std::string &module_kind) {
  int failures = 0;
  Flow flow;
  for (const Step &step : FlowSteps()) {
    int32_t expected = module_kind == "tpm2" ? step.tpm2 : step.p11kit;
    int32_t status = step.run(flow);
    bool as_expected = status == expected;
    failures += as_expected ? 0 : 1;
    std::printf("%-30s 0x%08X %s%s%s\n", step.what, static_cast<unsigned>(status),
                as_expected ? "as expected" : "UNEXPECTED", status != 0 ? " — " : "",
                status != 0 ? p11::ModuleFailureText().c_str() : "");
  }
  p11::Guarded([&] { return p11::DisconnectEkey(flow.session); });
  return failures == 0 ? 0 : 1;
}

// OpenFile connects, logs in and opens user file `number`.
int32_t OpenFile(uint32_t number, XcHandle *session, XcHandle *file) {
  int32_t status = p11::Guarded([&] { return p11::ConnectEkey(kDevice, session); });
  if (status != 0) return status;
  status = p11::Guarded([&] { return p11::VerifyPin(*session, Bytes(kUserPin), 8, XC_PIN_USER); });
  if (status == 0) {
    status = p11::Guarded(
        [&] { return p11::CreateUserFile(*session, number, 4, XC_USER_FILE_OPEN, file); });
  }
  return status;
}

int32_t ReadCounter(XcHandle file, uint32_t *value) {
  uint32_t len = sizeof(*value);
  return p11::Guarded(
      [&] { return p11::ReadUserFile(file, reinterpret_cast<uint8_t *>(value), &len); });
}

// ---- signers beside a writer that replaces their key ----

constexpr char kKeyContainer[] = "FLOW_SIG";  // slot 0
const uint8_t kDigest[20] = {0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9};

std::string Hex(const uint8_t *bytes, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < len; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

obkey::RsaBlock FromHex(const std::string &text) {
  obkey::RsaBlock block{};
  for (size_t i = 0; i < block.size() && 2 * i + 1 < text.size(); ++i) {
    block[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  }
  return block;
}

// Connect opens a connection to the signature container (logged in first
// when `login`).
int32_t Connect(bool login, XcHandle *session, XcHandle *container) {
  int32_t status = p11::Guarded([&] { return p11::ConnectEkey(kDevice, session); });
  if (status == 0 && login) {
    status =
        p11::Guarded([&] { return p11::VerifyPin(*session, Bytes(kUserPin), 8, XC_PIN_USER); });
  }
  if (status == 0) {
    status =
        p11::Guarded([&] { return p11::SetCurContainer(*session, XC_SLOT_SIGNATURE, container); });
  }
  return status;
}

// PrintKey prints the modulus of the container's signature key.
int32_t PrintKey(XcHandle container) {
  uint8_t record[XC_PUBKEY_SIZE];
  uint32_t len = sizeof(record);
  int32_t status =
      p11::Guarded([&] { return p11::ReadRSAPubKey(container, record, &len, XC_KEY_SIGNATURE); });
  if (status == 0) std::printf("key %s\n", Hex(record + 7, XC_RSA_BLOCK).c_str());
  std::fflush(stdout);
  return status;
}

int RunKeys() {
  XcHandle session = 0, container = 0;
  int32_t status = p11::Guarded([] { return p11::FormatToken(kAdminPin, kAdminPin, kDevice); });
  if (status == 0) status = p11::Guarded([&] { return p11::ConnectEkey(kDevice, &session); });
  if (status == 0) {
    status = p11::Guarded([&] { return p11::VerifyPin(session, Bytes(kUserPin), 8, XC_PIN_USER); });
  }
  if (status == 0) {
    status = p11::Guarded([&] {
      return p11::CreateContainer(session, kKeyContainer, &container, XC_CONTAINER_CREATE);
    });
  }
  if (status == 0)
    status = p11::Guarded([&] { return p11::GenRSAKey(container, XC_KEY_SIGNATURE); });
  if (status == 0) status = PrintKey(container);
  if (status != 0) std::fprintf(stderr, "keys: 0x%08X\n", static_cast<unsigned>(status));
  return status == 0 ? 0 : 1;
}

// RunRekey replaces the signature key `rounds` times, then makes
// `done_file`; any failure ends it with exit status 1.
int RunRekey(int rounds, const char *done_file) {
  for (int round = 0; round < rounds; ++round) {
    XcHandle session = 0, container = 0;
    int32_t status = Connect(true, &session, &container);
    if (status == 0) {
      status = p11::Guarded([&] { return p11::GenRSAKey(container, XC_KEY_SIGNATURE); });
    }
    if (status == 0) status = PrintKey(container);
    p11::Guarded([&] { return p11::DisconnectEkey(session); });
    if (status != 0) {
      std::fprintf(stderr, "rekey: 0x%08X\n", static_cast<unsigned>(status));
      return 1;
    }
    // A writer's pause between changes, as any has: the signers' logins
    // get their turn.
    usleep(20 * 1000);
  }
  std::ofstream done(done_file);
  return done ? 0 : 1;
}

// RunSigner signs as obkey does, a connection per signature, after one
// login that the process keeps: `rounds` times, then until `done_file`
// exists (at most 100 times as many).
int RunSigner(int rounds, const char *done_file) {
  XcHandle login_session = 0, container = 0;
  if (Connect(true, &login_session, &container) != 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  int signed_count = 0, failed = 0;
  for (int round = 0; round < 100 * rounds && (round < rounds || access(done_file, F_OK) != 0);
       ++round) {
    XcHandle session = 0;
    uint8_t out[XC_RSA_BLOCK];
    uint32_t len = sizeof(uint32_t);
    int32_t status = Connect(false, &session, &container);
    if (status == 0) {
      status = p11::Guarded([&] {
        return p11::GetContainerParam(container, XC_CONTAINER_PARAM_FLAGS, out, &len, 0);
      });
    }
    if (status == 0) {
      len = sizeof(out);
      status = p11::Guarded([&] {
        return p11::RSASign(container, kDigest, sizeof(kDigest), out, &len, XC_KEY_SIGNATURE);
      });
    }
    p11::Guarded([&] { return p11::DisconnectEkey(session); });
    if (status == 0 && len == XC_RSA_BLOCK) {
      ++signed_count;
      std::printf("sig %s\n", Hex(out, len).c_str());
    } else {
      ++failed;
      std::fprintf(stderr, "signer: 0x%08X\n", static_cast<unsigned>(status));
    }
  }
  std::printf("signed %d failed %d\n", signed_count, failed);
  return 0;
}

// RunCheck: every signature of the files must be by one of their keys, as
// a signature of kDigest; prints how many keys signed.
int RunCheck(int count, char **files) {
  std::vector<obkey::RsaBlock> keys, signatures;
  for (int i = 0; i < count; ++i) {
    std::ifstream in(files[i]);
    for (std::string word, value; in >> word;) {
      if (word != "key" && word != "sig") continue;
      in >> value;
      (word == "key" ? keys : signatures).push_back(FromHex(value));
    }
  }
  obkey::RsaBlock block{};
  obkey::Pkcs1Pad(obkey::Pkcs1BlockType::kSignature, kDigest, sizeof(kDigest), nullptr, &block);
  const p11::RsaExponent exponent = {0, 0, 0, 0, 0, 1, 0, 1};
  std::set<size_t> signing_keys;
  size_t unknown = 0;
  for (const obkey::RsaBlock &signature : signatures) {
    size_t k = 0;
    while (k < keys.size() && !p11::MadeByKey(block, signature, keys[k], exponent)) ++k;
    if (k == keys.size()) ++unknown;
    signing_keys.insert(k);
  }
  std::printf("keys %zu signatures %zu by %zu keys, by none of them %zu\n", keys.size(),
              signatures.size(), signing_keys.size() - (unknown != 0), unknown);
  return unknown == 0 && !signatures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "flow" && argc == 3) return RunFlow(argv[2]);
  if (mode == "keys") return RunKeys();
  if (mode == "rekey" && argc == 4) return RunRekey(std::atoi(argv[2]), argv[3]);
  if (mode == "signer" && argc == 4) return RunSigner(std::atoi(argv[2]), argv[3]);
  if (mode == "check") return RunCheck(argc - 2, argv + 2);
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: p11token_flow flow <kind> | setup|read <file> | writer <file> <rounds>\n");
    return 2;
  }
  uint32_t number = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  XcHandle session = 0, file = 0;
  if (mode == "setup") {
    int32_t status = p11::Guarded([] { return p11::FormatToken(kAdminPin, kAdminPin, kDevice); });
    if (status == 0) status = p11::Guarded([&] { return p11::ConnectEkey(kDevice, &session); });
    // tpm2-pkcs11 makes token objects for a logged-in user only.
    if (status == 0)
      status =
          p11::Guarded([&] { return p11::VerifyPin(session, Bytes(kUserPin), 8, XC_PIN_USER); });
    if (status == 0)
      status = p11::Guarded(
          [&] { return p11::CreateUserFile(session, number, 4, XC_USER_FILE_CREATE, &file); });
    std::printf("setup 0x%08X %s\n", static_cast<unsigned>(status),
                p11::ModuleFailureText().c_str());
    return status == 0 ? 0 : 1;
  }
  if (mode == "read") {
    uint32_t value = 0;
    int32_t status = OpenFile(number, &session, &file);
    if (status == 0) status = ReadCounter(file, &value);
    std::printf("value %u\n", value);
    return status == 0 ? 0 : 1;
  }
  if (mode != "writer" || argc != 4) return 2;
  int rounds = std::atoi(argv[3]), done = 0, changed = 0, other = 0;
  std::string written;
  for (int round = 0; round < rounds; ++round) {
    const char *step = "open";
    int32_t status = OpenFile(number, &session, &file);
    uint32_t value = 0;
    if (status == 0) {
      step = "read";
      status = ReadCounter(file, &value);
    }
    ++value;
    if (status == 0) {
      step = "write";
      status = p11::Guarded(
          [&] { return p11::WriteUserFile(file, reinterpret_cast<uint8_t *>(&value), 4); });
    }
    p11::Guarded([&] { return p11::DisconnectEkey(session); });
    if (status == 0) {
      ++done;
      written += " " + std::to_string(value);
    } else if (status == P11ST_CHANGED || status == P11ST_TOKEN_BUSY) {
      ++changed;
    } else {
      ++other;
      std::fprintf(stderr, "writer: %s 0x%08X\n", step, static_cast<unsigned>(status));
    }
  }
  std::printf("ok %d changed %d other %d\nwrote%s\n", done, changed, other, written.c_str());
  return 0;
}

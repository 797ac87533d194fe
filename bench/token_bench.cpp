// Token calls through obkey over the software token, beside the same
// operations in raw OpenSSL and in SoftHSMv2 (through its PKCS #11 module),
// all in one run. Benchmarks are named "<operation>/<who>";
// scripts/run-bench.sh turns them into ratios beside their goals.
//
// Everything lives in a temporary folder: the registry file, the log, the
// software token's stores and SoftHSMv2's token directory.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_failures.h"
#include "bench_support.h"
#include "device_config.h"
#include "diagnostic_log.h"
#include "obkey.h"
#include "softhsm_key.h"
#include "store_file.h"
#include "token_test_env.h"
#include "xcsp_eclib.h"

namespace {

using obkey_bench::Bytes;
using obkey_bench::kMainDevice;
using obkey_bench::kRsaBlock;
using obkey_bench::kUserPin;
using obkey_bench::Require;

constexpr char kFileLabel[] = "BENCH_FILE";
constexpr size_t kExportedFileSize = 4096;

// A block below any 1024-bit modulus (top byte 0) that is not all zeros.
Bytes TestBlock() {
  Bytes block(kRsaBlock);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 37 + 11);
  block[0] = 0;
  return block;
}

// ---- the software token through obkey ----

// Folder is a test environment (a fresh folder, a configuration naming
// kMainDevice, the log) whose folder holds the software token's tokens too;
// it is removed when the program ends.
class Folder {
 public:
  Folder() : env_(obkey_test::DeviceValue(kMainDevice)) {
    setenv("XCSP_TOKEN_DIR", (env_.folder() + "/tokens").c_str(), 1);
  }
  const std::string &path() const { return env_.folder(); }

 private:
  obkey_test::TokenTestEnv env_;
};

// Store sizes of the session-cost table: device index, name, bytes of user
// files, and whether both containers hold keys and certificates too.
struct SizedStore {
  int32_t device;
  const char *name;
  uint32_t user_file_bytes;
  bool keys_and_certificates;
};
constexpr SizedStore kSizedStores[] = {
    {1, "empty", 0, false},
    {2, "14KB", 14 * 1024, false},
    {3, "50KB", 50 * 1024, false},
    {4, "full", 64 * 1024, true},
};

// FillStore formats device `store.device` and fills it through the token
// library's own calls.
void FillStore(const SizedStore &store) {
  Require(OBCA_Format(store.device, 0) == 0, "format");
  XcHandle session = 0;
  Require(XC_ConnectEkey(store.device, &session) == 0, "connect");
  Require(XC_VerifyPin(session, reinterpret_cast<const uint8_t *>(kUserPin),
                       static_cast<uint32_t>(std::strlen(kUserPin)), XC_PIN_USER) == 0,
          "login");
  constexpr uint32_t kFileSize = 1024;
  Bytes contents(kFileSize, 0xA5);
  for (uint32_t n = 0; n * kFileSize < store.user_file_bytes; ++n) {
    XcHandle file = 0;
    Require(XC_CreateUserFile(session, 100 + n, kFileSize, XC_USER_FILE_CREATE, &file) == 0 &&
                XC_WriteUserFile(file, contents.data(), kFileSize) == 0,
            "user file");
  }
  if (store.keys_and_certificates) {
    const Bytes certificate(4096, 0x30);
    for (const char *name : {"FULL_SIG", "FULL_ENC"}) {
      XcHandle container = 0;
      Require(XC_CreateContainer(session, name, &container, XC_CONTAINER_CREATE) == 0, "container");
      for (uint32_t key_type : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
        Require(XC_GenRSAKey(container, key_type) == 0 &&
                    XC_WriteCert(container, certificate.data(),
                                 static_cast<uint32_t>(certificate.size()), key_type) == 0,
                "key and certificate");
      }
    }
  }
  Require(XC_DisconnectEkey(session) == 0, "disconnect");
}

// SetUpMainToken makes the token the obkey calls use: a signature pair in
// slot 0, an exchange pair in slot 1 and a 4 KB labelled file.
void SetUpMainToken() {
  Require(OBCA_Format(kMainDevice, 0) == 0, "format");
  Require(OBCA_Login(1, kUserPin) == 0, "login");
  for (auto [container, key_type] : {std::pair<const char *, uint32_t>{"BENCH_SIG", 2},
                                     std::pair<const char *, uint32_t>{"BENCH_ENC", 1}}) {
    uint8_t name1[64] = {}, name2[64] = {};
    DataBlob record1{0, name1}, record2{0, name2};
    Require(OB_GenAsymmetricKey(container, &record1, &record2, 0, 0, key_type) == 0, "key pair");
  }
  Bytes file(kExportedFileSize, 0x5C);
  Require(OBCA_ImportFile(kFileLabel, OB_STORE_LABELS, file.data(),
                          static_cast<uint32_t>(file.size())) == 0,
          "labelled file");
}

void ObkeySign(benchmark::State &state) {
  const Bytes block = TestBlock();
  Bytes signature(kRsaBlock);
  for (auto _ : state) {
    uint32_t len = static_cast<uint32_t>(signature.size());
    if (OB_AsymmetricSignData(nullptr, block.data(), static_cast<uint32_t>(block.size()),
                              signature.data(), &len, 0) != 0) {
      obkey_bench::FailBenchmark(state, "OB_AsymmetricSignData failed");
      break;
    }
  }
}

void ObkeyVerify(benchmark::State &state) {
  const Bytes block = TestBlock();
  Bytes signature(kRsaBlock);
  uint32_t len = static_cast<uint32_t>(signature.size());
  if (OB_AsymmetricSignData(nullptr, block.data(), static_cast<uint32_t>(block.size()),
                            signature.data(), &len, 0) != 0) {
    obkey_bench::FailBenchmark(state, "OB_AsymmetricSignData failed");
    return;
  }
  Bytes recovered(kRsaBlock);
  for (auto _ : state) {
    uint32_t out_len = static_cast<uint32_t>(recovered.size());
    if (OB_AsymmetricVerifySign(nullptr, recovered.data(), &out_len, signature.data(), len, 0) !=
        0) {
      obkey_bench::FailBenchmark(state, "OB_AsymmetricVerifySign failed");
      break;
    }
  }
  if (recovered != block)
    obkey_bench::FailBenchmark(state, "the check did not give back the signed block");
}

// The longest message PKCS #1 v1.5 encrypts under a 1024-bit key.
Bytes EncryptedMessage() {
  return Bytes(117, 0x42);
}

void ObkeyEncrypt(benchmark::State &state) {
  const Bytes message = EncryptedMessage();
  Bytes out(kRsaBlock);
  for (auto _ : state) {
    uint32_t len = static_cast<uint32_t>(out.size());
    if (OB_AsymmetricEncrypt(nullptr, 0, 0, out.data(), &len, message.data(),
                             static_cast<uint32_t>(message.size()), CALG_RSA_KEYX) != 0) {
      obkey_bench::FailBenchmark(state, "OB_AsymmetricEncrypt failed");
      break;
    }
  }
}

void ObkeyRandom(benchmark::State &state) {
  uint8_t bytes[16];
  DataBlob blob{sizeof(bytes), bytes};
  for (auto _ : state) {
    if (OB_GenRandom(&blob) != 0) {
      obkey_bench::FailBenchmark(state, "OB_GenRandom failed");
      break;
    }
  }
}

void ObkeyLabelList(benchmark::State &state) {
  uint8_t list[OB_LABEL_COUNT * OB_LABEL_SLOT_SIZE];
  for (auto _ : state) {
    uint32_t count = 0;
    if (OBCA_ReadLabelList(OB_STORE_LABELS, list, &count) != 0 || count == 0) {
      obkey_bench::FailBenchmark(state, "OBCA_ReadLabelList failed");
      break;
    }
  }
}

void ObkeyExportFile(benchmark::State &state) {
  Bytes out(kExportedFileSize);
  for (auto _ : state) {
    uint32_t len = static_cast<uint32_t>(out.size());
    if (OBCA_ExportFile(kFileLabel, OB_STORE_LABELS, out.data(), &len) != 0 ||
        len != kExportedFileSize) {
      obkey_bench::FailBenchmark(state, "OBCA_ExportFile failed");
      break;
    }
  }
}

// A login with the right PIN, at the PIN derivation cost the token library
// uses unless told otherwise (main clears the test suites' lower cost).
void ObkeyLogin(benchmark::State &state) {
  for (auto _ : state) {
    if (OBCA_Login(1, kUserPin) != 0) {
      obkey_bench::FailBenchmark(state, "OBCA_Login failed");
      break;
    }
  }
}

// One scrypt run at the software token's default cost: what one guess of a
// PIN against a stolen store costs a core.
void ScryptAlone(benchmark::State &state) {
  const obkey::softtoken::ScryptCost cost = obkey::softtoken::kDefaultScryptCost;
  const uint8_t salt[16] = {1, 2, 3, 4};
  uint8_t out[64];
  for (auto _ : state) {
    if (EVP_PBE_scrypt(kUserPin, std::strlen(kUserPin), salt, sizeof(salt),
                       uint64_t{1} << cost.log2_n, cost.r, cost.p, uint64_t{1} << 30, out,
                       sizeof(out)) != 1) {
      obkey_bench::FailBenchmark(state, "EVP_PBE_scrypt failed");
      break;
    }
  }
}

// Session open and close, the floor under every token call.
void Session(benchmark::State &state, int32_t device) {
  for (auto _ : state) {
    XcHandle session = 0;
    if (XC_ConnectEkey(device, &session) != 0 || XC_DisconnectEkey(session) != 0) {
      obkey_bench::FailBenchmark(state, "session failed");
      break;
    }
  }
}

// What every token call costs on obkey's side besides the session: the
// configuration, read afresh, and one log entry (opened, appended, closed;
// a session opening writes two).
void ConfigurationRead(benchmark::State &state) {
  for (auto _ : state) {
    int32_t device = -1;
    if (!obkey::ReadConfiguredDevice(&device) || device != kMainDevice) {
      obkey_bench::FailBenchmark(state, "configuration not read");
      break;
    }
  }
}

void LogEntry(benchmark::State &state) {
  static const char kEntry[] = "XC_ConnectEkey-------end--\n";
  for (auto _ : state) obkey::platform::AppendToDiagnosticLog(kEntry, sizeof(kEntry) - 1);
}

// ---- raw OpenSSL, the key and its context kept ----

struct PkeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

class OpenSslKey {
 public:
  OpenSslKey() {
    PkeyCtx gen(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY *raw = nullptr;
    Require(gen && EVP_PKEY_keygen_init(gen.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_keygen_bits(gen.get(), 1024) == 1 &&
                EVP_PKEY_keygen(gen.get(), &raw) == 1,
            "OpenSSL key generation");
    private_key_.reset(raw);
    // The public operation runs on a key holding n and e only.
    int len = i2d_PublicKey(raw, nullptr);
    Bytes der(static_cast<size_t>(len));
    unsigned char *p = der.data();
    i2d_PublicKey(raw, &p);
    const unsigned char *in = der.data();
    public_key_.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &in, len));
    Require(public_key_ != nullptr, "OpenSSL public key");
  }

  void Private(benchmark::State &state) const {
    Run(state, private_key_.get(), EVP_PKEY_decrypt_init, EVP_PKEY_decrypt,
        "OpenSSL private operation");
  }

  void Public(benchmark::State &state) const {
    Run(state, public_key_.get(), EVP_PKEY_encrypt_init, EVP_PKEY_encrypt,
        "OpenSSL public operation");
  }

  // What OB_AsymmetricEncrypt computes: PKCS #1 v1.5 encryption, random
  // padding included, of the same message.
  void EncryptPkcs1(benchmark::State &state) const {
    Run(state, public_key_.get(), EVP_PKEY_encrypt_init, EVP_PKEY_encrypt,
        "OpenSSL PKCS #1 encryption", RSA_PKCS1_PADDING, EncryptedMessage());
  }

 private:
  using Init = int (*)(EVP_PKEY_CTX *);
  using Operation = int (*)(EVP_PKEY_CTX *, unsigned char *, size_t *, const unsigned char *,
                            size_t);
  // Run times `operation` alone (unpadded unless told otherwise) on one
  // context made beforehand.
  static void Run(benchmark::State &state, EVP_PKEY *key, Init init, Operation operation,
                  const char *what, int padding = RSA_NO_PADDING,
                  const Bytes &block = TestBlock()) {
    PkeyCtx owned(EVP_PKEY_CTX_new(key, nullptr));
    EVP_PKEY_CTX *ctx = owned.get();
    Require(init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1, what);
    Bytes out(kRsaBlock);
    for (auto _ : state) {
      size_t len = out.size();
      if (operation(ctx, out.data(), &len, block.data(), block.size()) != 1) {
        obkey_bench::FailBenchmark(state, "OpenSSL operation failed");
        break;
      }
    }
  }

  Pkey private_key_;
  Pkey public_key_;
};

void OpenSslRandom(benchmark::State &state) {
  uint8_t bytes[16];
  for (auto _ : state) {
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
      obkey_bench::FailBenchmark(state, "RAND_bytes failed");
      break;
    }
  }
}

// ---- SoftHSMv2 through PKCS #11 ----

// SoftHsm loads SoftHSMv2's module, initialises a token in the temporary
// folder and makes a 1024-bit key pair on it. `error()` says why it could
// not, and then its benchmark is skipped.
class SoftHsm {
 public:
  explicit SoftHsm(const std::string &folder) {
    try {
      SetUp(folder);
    } catch (const std::exception &e) {
      error_ = e.what();
    }
  }
  ~SoftHsm() {
    if (functions_ != nullptr) {
      if (login_session_ != 0) functions_->C_CloseAllSessions(slot_);
      functions_->C_Finalize(nullptr);
    }
    if (module_ != nullptr) dlclose(module_);
  }
  SoftHsm(const SoftHsm &) = delete;
  SoftHsm &operator=(const SoftHsm &) = delete;

  const std::string &error() const { return error_; }

  // Sign: a fresh session per operation, as obkey opens one per call; the
  // login is the token's, kept by the session opened at set-up.
  void Sign(benchmark::State &state) const {
    if (!error_.empty()) {
      obkey_bench::FailBenchmark(state, error_.c_str());
      return;
    }
    Bytes block = TestBlock();
    Bytes signature(kRsaBlock);
    CK_MECHANISM mechanism = {CKM_RSA_X_509, nullptr, 0};
    for (auto _ : state) {
      CK_SESSION_HANDLE session = 0;
      CK_ULONG len = signature.size();
      bool ok = functions_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session) ==
                CKR_OK;
      ok =
          ok && functions_->C_SignInit(session, &mechanism, private_key_) == CKR_OK &&
          functions_->C_Sign(session, block.data(), block.size(), signature.data(), &len) == CKR_OK;
      if (session != 0) functions_->C_CloseSession(session);
      if (!ok) {
        obkey_bench::FailBenchmark(state, "SoftHSMv2 signature failed");
        break;
      }
    }
  }

 private:
  static void Check(CK_RV rv, const char *what) { obkey_bench::CheckSoftHsm(rv, what); }

  void SetUp(const std::string &folder) {
    const std::string token_dir = folder + "/softhsm";
    std::filesystem::create_directory(token_dir);
    std::ofstream conf(folder + "/softhsm2.conf");
    conf << "directories.tokendir = " << token_dir << "\nobjectstore.backend = file\n"
         << "log.level = ERROR\n";
    conf.close();
    setenv("SOFTHSM2_CONF", (folder + "/softhsm2.conf").c_str(), 1);

    module_ = dlopen(obkey_bench::SoftHsmModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"));
    if (get_list == nullptr) throw std::runtime_error("no C_GetFunctionList");
    Check(get_list(&functions_), "C_GetFunctionList");
    Check(functions_->C_Initialize(nullptr), "C_Initialize");

    CK_ULONG count = 1;
    CK_SLOT_ID first = 0;
    Check(functions_->C_GetSlotList(CK_FALSE, &first, &count), "C_GetSlotList");
    std::string so_pin = "87654321", pin = kUserPin;
    unsigned char label[32];
    std::memset(label, ' ', sizeof(label));
    std::memcpy(label, "obkey-bench", 11);
    Check(functions_->C_InitToken(first, reinterpret_cast<unsigned char *>(so_pin.data()),
                                  so_pin.size(), label),
          "C_InitToken");
    // SoftHSMv2 moves an initialised token to a slot of its own.
    slot_ = obkey_bench::InitialisedTokenSlot(functions_, label);

    Check(functions_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                    &login_session_),
          "C_OpenSession");
    private_key_ = obkey_bench::PrepareSigningKey(functions_, login_session_, so_pin, pin);
  }

  void *module_ = nullptr;
  CK_FUNCTION_LIST_PTR functions_ = nullptr;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE login_session_ = 0;
  CK_OBJECT_HANDLE private_key_ = 0;
  std::string error_;
};

double Smallest(const std::vector<double> &values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// LogSize is the log's length now (0 when there is none yet).
std::streamoff LogSize() {
  std::ifstream log(obkey::platform::DiagnosticLogPath(), std::ios::binary | std::ios::ate);
  return log ? static_cast<std::streamoff>(log.tellg()) : 0;
}

// LogLinesAfter counts the entries appended to the log past `offset`.
size_t LogLinesAfter(std::streamoff offset) {
  std::ifstream log(obkey::platform::DiagnosticLogPath(), std::ios::binary);
  if (!log || !log.seekg(offset)) return 0;
  return static_cast<size_t>(
      std::count(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>(), '\n'));
}

// Register registers a benchmark that also reports the log entries one
// iteration writes ("log_entries"): each is an append the interface
// requires, part of an obkey call's floor. Every benchmark reports it, as
// the CSV output wants the same columns in every row whatever the order.
template <typename F>
void Register(const std::string &name, F function) {
  auto counted = [function](benchmark::State &state) {
    const std::streamoff before = LogSize();
    function(state);
    state.counters["log_entries"] =
        state.iterations() > 0
            ? static_cast<double>(LogLinesAfter(before)) / static_cast<double>(state.iterations())
            : 0;
  };
  benchmark::RegisterBenchmark(name.c_str(), counted)
      ->ComputeStatistics("min", Smallest)
      ->Unit(benchmark::kMicrosecond);
}

// RunOverPkcs11 measures obkey's RSA calls over the token library the
// process loaded in place of the software token (scripts/run-bench.sh puts
// p11token first on the library path, over a SoftHSMv2 token).
int RunOverPkcs11() {
  Folder folder;
  SetUpMainToken();
  Register("sign/obkey-pkcs11", ObkeySign);
  Register("verify/obkey-pkcs11", ObkeyVerify);
  Register("encrypt/obkey-pkcs11", ObkeyEncrypt);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return obkey_bench::ExitStatus();
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    const char *over = std::getenv("OBKEY_BENCH_TOKEN_LIBRARY");
    if (over != nullptr && std::strcmp(over, "pkcs11") == 0) return RunOverPkcs11();
    unsetenv("XCSP_TOKEN_SCRYPT_LOG2N");
    Folder folder;
    SetUpMainToken();
    for (const SizedStore &store : kSizedStores) FillStore(store);
    OpenSslKey openssl;
    SoftHsm softhsm(folder.path());
    // A store is reused only once it has rested (store_file.h); wait as a
    // token untouched since the last change would have.
    usleep((obkey::softtoken::kStoreSettleMs + 200) * 1000);

    Register("sign/obkey", ObkeySign);
    Register("sign/openssl", [&](benchmark::State &s) { openssl.Private(s); });
    Register("sign/softhsm", [&](benchmark::State &s) { softhsm.Sign(s); });
    Register("verify/obkey", ObkeyVerify);
    Register("encrypt/obkey", ObkeyEncrypt);
    Register("public/openssl", [&](benchmark::State &s) { openssl.Public(s); });
    Register("encrypt/openssl", [&](benchmark::State &s) { openssl.EncryptPkcs1(s); });
    Register("random/obkey", ObkeyRandom);
    Register("random/openssl", OpenSslRandom);
    Register("labellist/obkey", ObkeyLabelList);
    Register("exportfile/obkey", ObkeyExportFile);
    Register("login/obkey", ObkeyLogin);
    Register("scrypt/openssl", ScryptAlone);
    Register("session/obkey", [](benchmark::State &s) { Session(s, kMainDevice); });
    Register("configuration/obkey", ConfigurationRead);
    Register("log-entry/obkey", LogEntry);
    for (const SizedStore &store : kSizedStores) {
      int32_t device = store.device;
      Register(std::string("session-size/") + store.name,
               [device](benchmark::State &s) { Session(s, device); });
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "token benchmark set-up failed: %s\n", e.what());
    return 1;
  }
  return obkey_bench::ExitStatus();
}

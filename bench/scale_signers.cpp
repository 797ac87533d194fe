#include "scale_signers.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "bench_support.h"
#include "obkey.h"
#include "softhsm_key.h"

namespace obkey_bench {
namespace {

constexpr char kSoPin[] = "87654321";
constexpr size_t kSha1Size = 20;

Bytes Sha1Digest() {
  Bytes digest(kSha1Size);
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 53 + 7);
  return digest;
}

// The DigestInfo that PKCS #1 v1.5 wraps a SHA-1 digest in, for the signers
// that take it whole.
Bytes Sha1DigestInfo() {
  Bytes info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  const Bytes digest = Sha1Digest();
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

// ---- obkey, over the token library the process loaded ----

void SetUpObkeyToken(const std::string &) {
  Require(OBCA_Format(kMainDevice, 0) == 0, "format");
  Require(OBCA_Login(1, kUserPin) == 0, "login");
  uint8_t name1[64] = {}, name2[64] = {};
  DataBlob record1{0, name1}, record2{0, name2};
  Require(OB_GenAsymmetricKey("BENCH_SIG", &record1, &record2, 0, 0, 2) == 0, "key pair");
}

class ObkeyProcess : public ProcessSigner {
 public:
  ObkeyProcess() { Require(OBCA_Login(1, kUserPin) == 0, "OBCA_Login"); }
  SignOnce NewThreadSigner() override {
    return [info = Sha1DigestInfo()]() {
      uint8_t signature[kRsaBlock];
      uint32_t len = sizeof(signature);
      const int32_t status = OB_AsymmetricSignData(
          nullptr, info.data(), static_cast<uint32_t>(info.size()), signature, &len, 0);
      if (status != 0) std::fprintf(stderr, "OB_AsymmetricSignData: %d\n", status);
      return status == 0 && len == kRsaBlock;
    };
  }
};

std::unique_ptr<ProcessSigner> OpenObkey(const std::string &) {
  return std::make_unique<ObkeyProcess>();
}

// ---- OpenSSL, the key kept in memory ----

std::string OpenSslKeyPath(const std::string &folder) {
  return folder + "/openssl-key.pem";
}

void SetUpOpenSslKey(const std::string &folder) {
  EVP_PKEY *key = EVP_RSA_gen(1024);
  Require(key != nullptr, "OpenSSL key generation");
  FILE *file = std::fopen(OpenSslKeyPath(folder).c_str(), "w");
  bool ok = file != nullptr &&
            PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (file != nullptr) ok = std::fclose(file) == 0 && ok;
  EVP_PKEY_free(key);
  Require(ok, "OpenSSL key file");
}

class OpenSslProcess : public ProcessSigner {
 public:
  explicit OpenSslProcess(const std::string &folder) {
    FILE *file = std::fopen(OpenSslKeyPath(folder).c_str(), "r");
    Require(file != nullptr, "OpenSSL key file");
    key_.reset(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::fclose(file);
    Require(key_ != nullptr, "OpenSSL key");
  }
  SignOnce NewThreadSigner() override {
    std::shared_ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key_.get(), nullptr), EVP_PKEY_CTX_free);
    Require(ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1,
            "OpenSSL signing context");
    return [ctx, digest = Sha1Digest()]() {
      uint8_t signature[kRsaBlock];
      size_t len = sizeof(signature);
      return EVP_PKEY_sign(ctx.get(), signature, &len, digest.data(), digest.size()) == 1 &&
             len == kRsaBlock;
    };
  }

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

std::unique_ptr<ProcessSigner> OpenOpenSsl(const std::string &folder) {
  return std::make_unique<OpenSslProcess>(folder);
}

// ---- SoftHSMv2 through PKCS #11 ----

const unsigned char kSoftHsmLabel[32] = {'o', 'b', 'k', 'e', 'y', '-', 's', 'c', 'a', 'l', 'e',
                                         ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                         ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

void Check(CK_RV rv, const char *what) {
  obkey_bench::CheckSoftHsm(rv, what);
}

// SoftHsmModule is the module loaded and initialised for use from several
// threads, its token directory in `folder`; finalised and unloaded at the end.
class SoftHsmModule {
 public:
  explicit SoftHsmModule(const std::string &folder) {
    setenv("SOFTHSM2_CONF", (folder + "/softhsm2.conf").c_str(), 1);
    module_ = dlopen(obkey_bench::SoftHsmModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"));
    Require(get_list != nullptr, "no C_GetFunctionList");
    Check(get_list(&functions_), "C_GetFunctionList");
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    Check(functions_->C_Initialize(&args), "C_Initialize");
  }
  ~SoftHsmModule() {
    if (functions_ != nullptr) functions_->C_Finalize(nullptr);
    if (module_ != nullptr) dlclose(module_);
  }
  SoftHsmModule(const SoftHsmModule &) = delete;
  SoftHsmModule &operator=(const SoftHsmModule &) = delete;

  CK_FUNCTION_LIST_PTR operator->() const { return functions_; }

  // TokenSlot is the slot of the initialised token labelled kSoftHsmLabel.
  CK_SLOT_ID TokenSlot() const { return InitialisedTokenSlot(functions_, kSoftHsmLabel); }

 private:
  void *module_ = nullptr;
  CK_FUNCTION_LIST_PTR functions_ = nullptr;
};

CK_UTF8CHAR_PTR PinBytes(const char *pin) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin));
}

void SetUpSoftHsmToken(const std::string &folder) {
  std::filesystem::create_directory(folder + "/softhsm");
  std::ofstream conf(folder + "/softhsm2.conf");
  conf << "directories.tokendir = " << folder << "/softhsm\nobjectstore.backend = file\n"
       << "log.level = ERROR\n";
  conf.close();
  SoftHsmModule module(folder);
  CK_ULONG count = 1;
  CK_SLOT_ID first = 0;
  Check(module->C_GetSlotList(CK_FALSE, &first, &count), "C_GetSlotList");
  Check(module->C_InitToken(first, PinBytes(kSoPin), std::strlen(kSoPin),
                            const_cast<unsigned char *>(kSoftHsmLabel)),
        "C_InitToken");
  // SoftHSMv2 moves an initialised token to a slot of its own.
  const CK_SLOT_ID slot = module.TokenSlot();
  CK_SESSION_HANDLE session = 0;
  Check(
      module->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
      "C_OpenSession");
  obkey_bench::PrepareSigningKey(module.operator->(), session, kSoPin, kUserPin);
  module->C_CloseAllSessions(slot);
}

// SoftHsmProcess logs in once through a session it keeps open (the login
// is the process's), then signs with a fresh session per signature, as
// obkey opens one per call.
class SoftHsmProcess : public ProcessSigner {
 public:
  explicit SoftHsmProcess(const std::string &folder) : module_(folder) {
    slot_ = module_.TokenSlot();
    Check(module_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &login_session_),
          "C_OpenSession");
    Check(module_->C_Login(login_session_, CKU_USER, PinBytes(kUserPin), std::strlen(kUserPin)),
          "C_Login");
    CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE wanted[] = {{CKA_CLASS, &private_class, sizeof(private_class)}};
    CK_ULONG found = 0;
    Check(module_->C_FindObjectsInit(login_session_, wanted, 1), "C_FindObjectsInit");
    Check(module_->C_FindObjects(login_session_, &private_key_, 1, &found), "C_FindObjects");
    Check(module_->C_FindObjectsFinal(login_session_), "C_FindObjectsFinal");
    Require(found == 1, "SoftHSMv2 private key not found");
  }

  SignOnce NewThreadSigner() override {
    return [this, info = Sha1DigestInfo()]() mutable {
      CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
      uint8_t signature[kRsaBlock];
      CK_ULONG len = sizeof(signature);
      CK_SESSION_HANDLE session = 0;
      bool ok =
          module_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
          module_->C_SignInit(session, &mechanism, private_key_) == CKR_OK &&
          module_->C_Sign(session, info.data(), info.size(), signature, &len) == CKR_OK;
      if (session != 0) ok = module_->C_CloseSession(session) == CKR_OK && ok;
      return ok && len == kRsaBlock;
    };
  }

 private:
  SoftHsmModule module_;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE login_session_ = 0;
  CK_OBJECT_HANDLE private_key_ = 0;
};

std::unique_ptr<ProcessSigner> OpenSoftHsm(const std::string &folder) {
  return std::make_unique<SoftHsmProcess>(folder);
}

// obkey-pkcs11 is obkey in a process whose token library is p11token
// (scripts/bench-over-pkcs11.sh puts it first on the library path).
const SignerKind kKinds[] = {
    {"obkey", SetUpObkeyToken, OpenObkey},
    {"obkey-pkcs11", SetUpObkeyToken, OpenObkey},
    {"openssl", SetUpOpenSslKey, OpenOpenSsl},
    {"softhsm", SetUpSoftHsmToken, OpenSoftHsm},
};

}  // namespace

const SignerKind *FindSignerKind(const std::string &name) {
  for (const SignerKind &kind : kKinds) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

}  // namespace obkey_bench

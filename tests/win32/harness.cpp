// The Windows library under Wine, loaded the way a client loads it: every
// export found by its undecorated name, called with its argument count (on
// i686 through a thunk that checks the stack, on x86_64 through a pointer of
// the type obkey.h declares), and the token-backed calls run against the
// token library that sits beside obkey.dll.
//
//   obkey_wine_tests fake          recording fake token library, device configured
//   obkey_wine_tests unconfigured  recording fake, no registry value
//   obkey_wine_tests softtoken [SKEW]
//                                  the software token, device configured; on i686
//                                  the flow runs with the stack SKEW bytes (0, 4, 8,
//                                  12) off a 16-byte boundary at every call
//
// A Windows x86 caller promises only 4-byte stack alignment, so on i686 every
// export is also called with each of the four skews. An x64 caller keeps the
// stack 16-byte aligned at every call (the ABI requires it), so there is no
// skew to try there, and the caller removes the arguments, so no stack balance
// to check.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "hex.h"
#include "obkey.h"
#include "rsa_blobs.h"

#if !defined(_WIN64)
extern "C" int32_t CallCountingStack(void *function, const uint32_t *words, uint32_t count,
                                     uint32_t skew, int32_t *out_stack_change);
extern "C" uint32_t StackPointerAtCall(void);
#endif

namespace {

// A client's DataBlob is the CryptoAPI's CRYPT_DATA_BLOB on both
// architectures: 8 bytes on i686, 16 on x86_64 with the pointer at offset 8.
static_assert(sizeof(DataBlob) == sizeof(CRYPT_DATA_BLOB), "DataBlob size");
static_assert(offsetof(DataBlob, pbData) == offsetof(CRYPT_DATA_BLOB, pbData), "DataBlob layout");

// One argument of an export as the harness passes it: a pointer or a 32-bit
// value, widened to the pointer size.
using ArgWord = uintptr_t;
using Words = std::vector<ArgWord>;

int g_passed = 0;
int g_failed = 0;

bool Check(bool ok, const std::string &what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
  return ok;
}

template <typename T>
void CheckEq(const T &actual, const T &expected, const std::string &what) {
  Check(actual == expected, what);
}

void CheckText(const std::string &actual, const std::string &expected, const std::string &what) {
  if (actual != expected) {
    std::printf("  expected: [%s]\n  actual:   [%s]\n", expected.c_str(), actual.c_str());
  }
  Check(actual == expected, what);
}

#if defined(_WIN64)
template <typename T>
T FromWord(ArgWord word) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(word);
  } else {
    return static_cast<T>(word);
  }
}

// TypedCall<F>::Invoke calls an export of type F with words converted to its
// parameter types, as a 64-bit client compiled against obkey.h calls it.
template <typename Function>
struct TypedCall;

template <typename... Args>
struct TypedCall<int32_t(Args...)> {
  static constexpr size_t kArgCount = sizeof...(Args);
  static int32_t Invoke(void *function, const Words &words) {
    return InvokeWith(function, words, std::index_sequence_for<Args...>());
  }
  template <size_t... I>
  static int32_t InvokeWith(void *function, const Words &words, std::index_sequence<I...>) {
    auto typed = reinterpret_cast<int32_t (*)(Args...)>(function);
    return typed(FromWord<Args>(words[I])...);
  }
};

// The argument count of the export list (from its i686 decoration) must be
// the one of the header's declaration.
template <typename Function, uint32_t kCount>
constexpr uint32_t CheckedArgCount() {
  static_assert(TypedCall<Function>::kArgCount == kCount,
                "obkey.def and obkey.h disagree on an argument count");
  return kCount;
}

struct Export {
  const char *name;
  uint32_t arg_count;
  int32_t (*invoke)(void *function, const Words &words);
};
#define OBKEY_EXPORT_ENTRY(name, count) \
  {#name, CheckedArgCount<decltype(::name), count>(), &TypedCall<decltype(::name)>::Invoke},
const uint32_t kSkews[] = {0};
#else
struct Export {
  const char *name;
  uint32_t arg_count;
};
#define OBKEY_EXPORT_ENTRY(name, count) {#name, count},
const uint32_t kSkews[] = {0, 4, 8, 12};
#endif

// Every export, with the argument count its callers push (made from the
// export list of the DLL).
const Export kExports[] = {
#include "obkey_exports.inc"
};
#undef OBKEY_EXPORT_ENTRY

HMODULE g_obkey = nullptr;
uint32_t g_skew = 0;  // i686: stack pointer at each call, modulo 16

void *Find(const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(g_obkey, name));
}

#if defined(_WIN64)
// Calls an export with `words`, one per declared parameter.
int32_t Call(const char *name, const Words &words) {
  void *function = Find(name);
  const Export *entry = nullptr;
  for (const Export &e : kExports) {
    if (std::strcmp(e.name, name) == 0) entry = &e;
  }
  if (function == nullptr || entry == nullptr) {
    Check(false, std::string("export missing: ") + name);
    return -12345;
  }
  if (!Check(words.size() == entry->arg_count, std::string("argument count for ") + name)) {
    return -12345;
  }
  return entry->invoke(function, words);
}
#else
// Calls an export with `words` and checks that it removed exactly them.
int32_t Call(const char *name, const Words &words) {
  static_assert(sizeof(ArgWord) == sizeof(uint32_t), "one stack slot per word");
  void *function = Find(name);
  if (function == nullptr) {
    Check(false, std::string("export missing: ") + name);
    return -12345;
  }
  int32_t stack_change = 0;
  int32_t status = CallCountingStack(function, words.data(), static_cast<uint32_t>(words.size()),
                                     g_skew, &stack_change);
  CheckEq(stack_change, 0,
          std::string("stack balance of ") + name + " at skew " + std::to_string(g_skew));
  return status;
}
#endif

ArgWord Word(const void *pointer) {
  return reinterpret_cast<ArgWord>(pointer);
}

// ---- the fake token library, driven through its own exports ----

struct FakeControls {
  void(__cdecl *reset)();
  void(__cdecl *queue_status)(const char *, int32_t);
  uint32_t(__cdecl *trace)(char *, uint32_t);
};

FakeControls g_fake = {};

// GetProcAddress hands back a generic function pointer; go through void* to
// give it its real type.
template <typename Function>
Function ProcAddress(HMODULE module, const char *name) {
  return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

bool LoadFakeControls() {
  HMODULE token = GetModuleHandleA("xcsp_eclib.dll");
  if (token == nullptr) return false;
  g_fake.reset = ProcAddress<void(__cdecl *)()>(token, "FakeToken_Reset");
  g_fake.queue_status =
      ProcAddress<void(__cdecl *)(const char *, int32_t)>(token, "FakeToken_QueueStatus");
  g_fake.trace = ProcAddress<uint32_t(__cdecl *)(char *, uint32_t)>(token, "FakeToken_Trace");
  return g_fake.reset && g_fake.queue_status && g_fake.trace;
}

std::string FakeTrace() {
  std::vector<char> text(g_fake.trace(nullptr, 0) + 1);
  g_fake.trace(text.data(), static_cast<uint32_t>(text.size()));
  return std::string(text.data());
}

// ---- the diagnostic log ----

const char kLogPath[] = "c:\\xml816.log";

void RemoveLog() {
  DeleteFileA(kLogPath);
}

std::string ReadLog() {
  std::FILE *log = std::fopen(kLogPath, "rb");
  if (log == nullptr) return "<none>";
  std::string bytes;
  char chunk[512];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), log)) > 0) bytes.append(chunk, n);
  std::fclose(log);
  return bytes;
}

// ---- the cases ----

// Every export by name, on i686 with all four skews of the stack pointer;
// the thunk itself is checked first, so that a skew it failed to make cannot
// pass unnoticed.
void CheckEveryExportAtEverySkew() {
  const uint32_t saved = g_skew;
  CheckEq(sizeof(kExports) / sizeof(kExports[0]), static_cast<size_t>(45), "45 exports listed");
  for (uint32_t skew : kSkews) {
#if !defined(_WIN64)
    int32_t change = 0;
    auto probe = reinterpret_cast<void *>(&StackPointerAtCall);
    uint32_t at_call = static_cast<uint32_t>(CallCountingStack(probe, nullptr, 0, skew, &change));
    CheckEq(at_call % 16, skew, "thunk makes skew " + std::to_string(skew));
#endif
    g_skew = skew;
    for (const Export &e : kExports) {
      Words zeros(e.arg_count, 0);
      Call(e.name, zeros);
    }
  }
  g_skew = saved;
}

void CheckFixedAnswers() {
  const struct {
    const char *name;
    int32_t expected;
  } answers[] = {
      {"OBCA_Logout", 0},          {"OB_EnablePVK", 0},
      {"OB_IsPVKEnabeled", 1},     {"OB_DestroyContainer", 0},
      {"OB_ExportPrivateKey", -1}, {"OBCERT_CreateCertStore", 0},
      {"OBCERT_FindCertStore", 0}, {"OBCERT_DestroyCertStore", 0},
      {"OBCERT_DestroyCert", 0},   {"OBCERT_SetCertProperty", 0},
      {"OBCERT_GetUserCert", 0},   {"OB_DestroyKey", 0},
      {"OB_GetSupportedAlgId", 0},
  };
  for (const auto &a : answers) {
    for (const Export &e : kExports) {
      if (std::strcmp(e.name, a.name) != 0) continue;
      Words words(e.arg_count, 0x55AA55AA);
      CheckEq(Call(a.name, words), a.expected, std::string("fixed answer of ") + a.name);
    }
  }
}

void CheckLoginFormatPinOnConfiguredDevice() {
  g_fake.reset();
  RemoveLog();
  CheckEq(Call("OBCA_Login", {1, Word("1234")}), 0, "login succeeds");
  CheckText(FakeTrace(),
            "XC_ConnectEkey(5)\nXC_VerifyPin(17, 31323334, 4, 2)\nXC_DisconnectEkey(17)\n",
            "login call sequence");
  CheckText(ReadLog(), "XC_ConnectEkey-------begin--\r\nXC_ConnectEkey-------end--\r\n",
            "login log entries with CRLF");

  g_fake.reset();
  g_fake.queue_status("XC_VerifyPin", 0x6983);
  CheckEq(Call("OBCA_Login", {1, Word("0000")}), 0x6983, "wrong PIN status passes through");
  g_fake.reset();
  CheckEq(Call("OBCA_Login", {2, Word("1234")}), -1, "user type 2 refused");
  CheckText(FakeTrace(), "XC_ConnectEkey(5)\nXC_DisconnectEkey(17)\n", "user type 2 sequence");

  g_fake.reset();
  RemoveLog();
  CheckEq(Call("OBCA_Format", {9, 0}), 0, "format succeeds");
  CheckText(FakeTrace(), "FormatMWKey(\"ZARQU.1974\", \"ZARQU.1974\", 9)\n", "format call");
  CheckText(ReadLog(), "     OBCA_Format FormatMWKey S\r\n     OBCA_Format FormatMWKey E\r\n",
            "format log entries");

  g_fake.reset();
  uint8_t old_bytes[] = {'1', '2'};
  uint8_t new_bytes[] = {'3', 0, '4'};
  DataBlob old_pin = {2, old_bytes};
  DataBlob new_pin = {3, new_bytes};
  CheckEq(Call("OB_SetPVKEnabelData", {0, Word(&old_pin), Word(&new_pin), 0}), 0, "PIN change");
  CheckText(FakeTrace(),
            "XC_ConnectEkey(5)\nXC_ChangePin(17, 3132, 2, 330034, 3, 2)\nXC_DisconnectEkey(17)\n",
            "PIN change call sequence");
  g_fake.reset();
  CheckEq(Call("OB_DisabelPVK", {0}), 0, "container report");
}

// Three answers where the interface lets a client do less than it might
// expect to have to: a size query that needs no key type, a certificate
// import of another key type that never reads its record, an empty
// certificate that reaches the token, a digest size query without a message.
void CheckSizeQueriesAndUnreadRecords() {
  g_fake.reset();
  DataBlob query = {0, nullptr};
  CheckEq(Call("OBCERT_ExportCert", {Word(&query), 0, 0}), 0, "certificate size query");
  CheckEq(query.cbData, 2048u, "certificate size hint without a key type");
  CheckEq(Call("OBCERT_ImportCert", {0, 0, 0, 0, 0, 3}), 0, "key type 3 import");
  DataBlob empty = {0, nullptr};
  CheckEq(Call("OBCERT_ImportCert", {0, Word(&empty), 0, 0, 0, 2}), 0, "empty certificate");
  CheckText(FakeTrace(),
            "XC_ConnectEkey(5)\nXC_DisconnectEkey(17)\n"
            "XC_ConnectEkey(5)\nXC_SetCurContainer(17, 0)\nXC_WriteCert(33, null, 0, 2)\n"
            "XC_DisconnectEkey(17)\n",
            "only the two key types reach the token");
  uint32_t len = 0;
  CheckEq(Call("OB_Digest", {0, Word(&len), 0, 5, CALG_SHA1}), 0, "digest size query");
  CheckEq(len, 20u, "digest size before the message is checked");
}

void CheckUnconfiguredDevice() {
  g_fake.reset();
  RemoveLog();
  CheckEq(Call("OBCA_Login", {1, Word("1234")}), 3, "no registry value gives 3");
  CheckText(FakeTrace(), "XC_DisconnectEkey(0)\n", "one disconnect with handle 0");
  CheckText(ReadLog(), "<none>", "nothing logged without a value");
}

// ---- the software token, end to end ----

using Bytes = std::vector<uint8_t>;

Bytes PublicKeyBlobOf(const char *key_name) {
  std::string name = key_name;
  DataBlob name_record = {0, reinterpret_cast<uint8_t *>(&name[0])};
  Bytes blob(OB_PUBLIC_KEY_BLOB_LEN);
  DataBlob blob_record = {static_cast<uint32_t>(blob.size()), blob.data()};
  CheckEq(Call("OB_ExportPublicKey", {Word(&name_record), Word(&blob_record)}), 0,
          std::string("export public key ") + key_name);
  return blob;
}

EVP_PKEY *PublicKeyOf(const char *key_name) {
  std::string pem;
  if (!obkeyctl::PublicBlobToPem(PublicKeyBlobOf(key_name), &pem)) return nullptr;
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY *key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return key;
}

void CheckLoginFormatPinOnSoftToken() {
  CheckEq(Call("OBCA_Format", {5, 0}), 0, "software token formatted");
  CheckEq(Call("OBCA_Login", {1, Word("12345678")}), 0, "formatted PIN accepted");
  Check(Call("OBCA_Login", {1, Word("00000000")}) != 0, "wrong PIN refused");
  std::string old_text = "12345678", new_text = "wine-pin";
  DataBlob old_pin = {8, reinterpret_cast<uint8_t *>(&old_text[0])};
  DataBlob new_pin = {8, reinterpret_cast<uint8_t *>(&new_text[0])};
  CheckEq(Call("OB_SetPVKEnabelData", {0, Word(&old_pin), Word(&new_pin), 0}), 0, "PIN changed");
  CheckEq(Call("OBCA_Login", {1, Word("wine-pin")}), 0, "new PIN accepted");
}

void CheckSigningRequestOnSoftToken() {
  uint8_t name1[64] = {}, name2[64] = {};
  DataBlob record1 = {0, name1}, record2 = {0, name2};
  CheckEq(Call("OB_GenAsymmetricKey", {Word("WINE_SIG"), Word(&record1), Word(&record2), 0, 0, 2}),
          0, "signature pair generated");
  CheckText(reinterpret_cast<char *>(name1), "WINE_SIG\\03", "first key name");

  Bytes message = {'w', 'i', 'n', 'e'};
  Bytes info = obkeyctl::Sha1DigestInfo(message);
  Bytes signature(OB_RSA_BLOCK_LEN);
  uint32_t signature_len = 0;
  CheckEq(Call("OB_AsymmetricSignData", {0, Word(info.data()), static_cast<uint32_t>(info.size()),
                                         Word(signature.data()), Word(&signature_len), 0}),
          0, "token signs");
  EVP_PKEY *key = PublicKeyOf("WINE_SIG\\03");
  Check(key != nullptr, "exported public key reads as PEM");
  if (key == nullptr) return;
  EVP_MD_CTX *context = EVP_MD_CTX_new();
  bool verified = EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr, key) == 1 &&
                  EVP_DigestVerify(context, signature.data(), signature_len, message.data(),
                                   message.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  Check(verified, "OpenSSL verifies the token's signature");
}

void CheckKeyImportOnSoftToken() {
  CheckEq(Call("OB_CreateContainer", {Word("WINE_ENC")}), 0, "exchange container created");
  EVP_PKEY *key = EVP_RSA_gen(1024);
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char *pem_text = nullptr;
  long pem_len = BIO_get_mem_data(bio, &pem_text);
  obkey::SecretBytes pem(pem_text, pem_text + pem_len), blob;
  BIO_free(bio);
  Check(obkeyctl::PemToPrivateBlob(pem, &blob), "private-key blob made");
  DataBlob record = {static_cast<uint32_t>(blob.size()), blob.data()};
  int handle = 0;
  CheckEq(Call("OB_ImportPrivateKey", {Word(&handle), Word(&record), 1, 0, 0}), 0,
          "private key imported");

  // The token encrypts under the imported key; OpenSSL decrypts with it.
  Bytes plain = {'k', 'e', 'y'};
  Bytes cipher(OB_RSA_BLOCK_LEN);
  uint32_t cipher_len = OB_RSA_BLOCK_LEN;
  CheckEq(Call("OB_AsymmetricEncrypt", {0, 0, 0, Word(cipher.data()), Word(&cipher_len),
                                        Word(plain.data()), 3, CALG_RSA_KEYX}),
          0, "token encrypts");
  EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(key, nullptr);
  Bytes decrypted(OB_RSA_BLOCK_LEN);
  size_t decrypted_len = decrypted.size();
  bool ok =
      EVP_PKEY_decrypt_init(context) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
      EVP_PKEY_decrypt(context, decrypted.data(), &decrypted_len, cipher.data(), cipher_len) == 1;
  EVP_PKEY_CTX_free(context);
  EVP_PKEY_free(key);
  decrypted.resize(ok ? decrypted_len : 0);
  Check(ok && decrypted == plain, "OpenSSL decrypts what the token encrypted");
}

void CheckLabelStoreOnSoftToken() {
  const char *labels[] = {"L0", "L1", "L2", "L3", "L4", "L5", "L6", "L7", "L8", "L9"};
  for (const char *label : labels) {
    CheckEq(Call("OBCA_ImportFile", {Word(label), 0, Word(label), 3}), 0,
            std::string("label stored: ") + label);
  }
  CheckEq(Call("OBCA_ImportFile", {Word("ELEVENTH"), 0, Word("x"), 1}), -1,
          "eleventh label refused");
  uint32_t count = 0;
  uint8_t list[200] = {};
  CheckEq(Call("OBCA_ReadLabelList", {0, Word(list), Word(&count)}), 0, "labels listed");
  CheckEq(count, 10u, "ten labels");
  CheckText(reinterpret_cast<char *>(list + 20 * 9), "L9", "tenth slot");
  char back[16] = {};
  uint32_t back_len = sizeof(back);
  CheckEq(Call("OBCA_ExportFile", {Word("L4"), 0, Word(back), Word(&back_len)}), 0, "label read");
  CheckEq(back_len, 3u, "label length");
  CheckText(std::string(back, 2), "L4", "label data");
  CheckEq(Call("OBCA_DeleteFile", {Word("L4"), 0}), 0, "label removed");
  back_len = sizeof(back);
  CheckEq(Call("OBCA_ExportFile", {Word("L4"), 0, Word(back), Word(&back_len)}), -1,
          "removed label gone");
  CheckEq(Call("OBCA_DeleteFile", {Word("L4"), 0}), 0, "removing an absent label succeeds");
}

void CheckCertificatesOnSoftToken() {
  Bytes cert = {0x30, 0x03, 0x02, 0x01, 0x07};
  DataBlob record = {static_cast<uint32_t>(cert.size()), cert.data()};
  CheckEq(Call("OBCERT_ImportCert", {0, Word(&record), 0, 0, 0, 2}), 0, "certificate stored");
  Bytes back(64);
  uint32_t back_len = static_cast<uint32_t>(back.size());
  CheckEq(
      Call("OBCA_ExportFile", {Word("LAB_USERCERT_SIG"), 1, Word(back.data()), Word(&back_len)}), 0,
      "certificate through the reserved label");
  back.resize(back_len);
  Check(back == cert, "reserved label gives the certificate");
  DataBlob query = {0, nullptr};
  uint32_t key_type = 2;
  CheckEq(Call("OBCERT_ExportCert", {Word(&query), 0, Word(&key_type)}), 0, "export size query");
  CheckEq(query.cbData, 2048u, "export size hint");
  CertRef ref = {0, 0};
  CheckEq(Call("OBCERT_EnumCertInStore", {Word("A_STORE_NAME_17_B"), 1, Word(&ref), 0}), -1,
          "long store name refused without blocking");
}

void CheckDigests() {
  const struct {
    uint32_t alg;
    const char *hex;
  } vectors[] = {
      {CALG_MD5, "900150983cd24fb0d6963f7d28e17f72"},
      {CALG_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
  };
  for (const auto &v : vectors) {
    uint8_t digest[20] = {};
    uint32_t len = sizeof(digest);
    CheckEq(Call("OB_Digest", {Word(digest), Word(&len), Word("abc"), 3, v.alg}), 0, "digest");
    CheckText(obkey::test::Hex(digest, len), v.hex, "digest of abc");
  }
  // The SHA-1 engine in force agrees with OpenSSL at the block edges, at
  // every skew of the caller's stack.
  const uint32_t saved = g_skew;
  for (uint32_t skew : kSkews) {
    g_skew = skew;
    for (size_t n : {0, 55, 56, 64, 200, 1000}) {
      Bytes message(n);
      for (size_t i = 0; i < n; ++i) message[i] = static_cast<uint8_t>(i * 7 + 1);
      uint8_t digest[20] = {}, expected[20] = {};
      uint32_t len = sizeof(digest);
      const std::string what = std::to_string(n) + " bytes at skew " + std::to_string(skew);
      CheckEq(Call("OB_Digest", {Word(digest), Word(&len), Word(message.data()),
                                 static_cast<uint32_t>(n), CALG_SHA1}),
              0, "SHA-1 of " + what);
      EVP_Digest(message.data(), n, expected, nullptr, EVP_sha1(), nullptr);
      Check(std::memcmp(digest, expected, 20) == 0, "SHA-1 agrees with OpenSSL, " + what);
    }
  }
  g_skew = saved;
  uint32_t len = 0;
  CheckEq(Call("OB_Digest", {0, Word(&len), 0, 0, CALG_SHA1}), 0, "digest size query");
  CheckEq(len, 20u, "SHA-1 length");
  CheckEq(Call("OB_Digest", {0, Word(&len), 0, 0, CALG_MD2}), static_cast<int32_t>(0x80090008u),
          "MD2 refused");
}

void CheckKeyWrapOnSoftToken() {
  uint8_t name1[64] = {}, name2[64] = {};
  DataBlob record1 = {0, name1}, record2 = {0, name2};
  CheckEq(Call("OB_GenAsymmetricKey", {Word("WINE_ENC"), Word(&record1), Word(&record2), 0, 0, 1}),
          0, "exchange pair generated");
  uint8_t key_bytes[24] = {};
  DataBlob key = {24, key_bytes};
  CheckEq(Call("OB_GenSymmetricKey", {CALG_3DES, Word(&key), 0}), 0, "session key generated");
  Bytes blob(140);
  DataBlob blob_record = {140, blob.data()};
  CheckEq(
      Call("OB_ExportSymmetricKey", {Word(&key), Word(&record1), Word(&blob_record), CALG_3DES}), 0,
      "session key wrapped by the token");
  Bytes unwrapped(128);
  uint32_t unwrapped_len = 128;
  CheckEq(Call("OB_AsymmetricDecrypt", {0, 0, 0, Word(unwrapped.data()), Word(&unwrapped_len),
                                        Word(blob.data() + 12), 128, CALG_RSA_KEYX}),
          0, "token unwraps");
  unwrapped.resize(unwrapped_len);
  Check(unwrapped == Bytes(key_bytes, key_bytes + 24), "unwrapped key is the session key");
}

void CheckEnrollmentOnSoftToken() {
  // The signature pair of WINE_SIG exists and the PIN was verified above.
  DataBlob query = {0, nullptr};
  CheckEq(Call("OBCERT_CreateP10", {0, 0, 0, Word("/CN=obkey wine"), Word(&query), 0}), 0,
          "request size query");
  Check(query.cbData > 100, "request size reported");
  std::vector<char> pem(query.cbData + 1);
  DataBlob request = {query.cbData, reinterpret_cast<uint8_t *>(pem.data())};
  CheckEq(Call("OBCERT_CreateP10", {0, 0, 0, Word("/CN=obkey wine"), Word(&request), 0}), 0,
          "request made");
  Check(std::string(pem.data()).rfind("-----BEGIN CERTIFICATE REQUEST-----", 0) == 0,
        "request is PEM");
  CheckEq(Call("OBCERT_InstallCert", {0, 0, 0, 0, 0, 0, 0, 0}), -1, "null answer refused");
}

// The text of `field` ("PartIn=[") in the first log entry that starts with
// `entry`, up to its closing bracket; "<none>" if absent.
std::string LogField(const std::string &log, const std::string &entry, const std::string &field) {
  size_t at = log.find(entry);
  if (at == std::string::npos) return "<none>";
  at = log.find(field, at);
  if (at == std::string::npos) return "<none>";
  at += field.size();
  return log.substr(at, log.find(']', at) - at);
}

std::string LowBitsText(const void *pointer) {
  return std::to_string(static_cast<int32_t>(reinterpret_cast<uintptr_t>(pointer)));
}

// A client's buffers may lie anywhere in its address space; a 64-bit
// client's above 4 GiB, where a pointer cut to 32 bits anywhere on the way
// faults or misses. Here every record, buffer and text of the calls lies at
// the top of the address space. The log entries that record the input's
// address hold its low 32 bits as a signed decimal, the rule obkey.h states
// (on i686 that is the whole address). The token's pairs, the PIN check, the
// signature certificate and nine labels are in place from the flow before.
void CheckBuffersAtTheTop() {
  const size_t kArenaSize = 1 << 16;
  auto *arena = static_cast<uint8_t *>(
      VirtualAlloc(nullptr, kArenaSize, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
  if (!Check(arena != nullptr, "arena at the top of the address space")) return;
#if defined(_WIN64)
  Check(reinterpret_cast<uintptr_t>(arena) >> 32 != 0, "arena lies above 4 GiB");
#endif
  size_t used = 0;
  auto take = [&](size_t n) {
    uint8_t *p = arena + used;
    used += (n + 15) & ~static_cast<size_t>(15);
    return p;
  };
  auto copy_in = [&](const void *bytes, size_t n) {
    uint8_t *p = take(n);
    std::memcpy(p, bytes, n);
    return p;
  };
  auto text_in = [&](const char *text) {
    return reinterpret_cast<char *>(copy_in(text, std::strlen(text) + 1));
  };
  auto length_in = [&](uint32_t value) {
    auto *p = reinterpret_cast<uint32_t *>(take(sizeof(uint32_t)));
    *p = value;
    return p;
  };
  auto blob_in = [&](uint32_t len, uint8_t *bytes) {
    auto *p = reinterpret_cast<DataBlob *>(take(sizeof(DataBlob)));
    p->cbData = len;
    p->pbData = bytes;
    return p;
  };

  // RSA through the token: the exchange pair encrypts and decrypts.
  const char kPlain[] = "top of memory";
  uint8_t *plain = copy_in(kPlain, sizeof(kPlain) - 1);
  uint8_t *cipher = take(OB_RSA_BLOCK_LEN);
  uint32_t *cipher_len = length_in(OB_RSA_BLOCK_LEN);
  RemoveLog();
  CheckEq(Call("OB_AsymmetricEncrypt", {0, 0, 0, Word(cipher), Word(cipher_len), Word(plain),
                                        sizeof(kPlain) - 1, CALG_RSA_KEYX}),
          0, "encrypt, buffers at the top");
  CheckText(LogField(ReadLog(), "OB_AsymmetricEncrypt hContainer=[", "PartIn=["),
            LowBitsText(plain), "encrypt log entry: the input address, low 32 bits");
  uint8_t *decrypted = take(OB_RSA_BLOCK_LEN);
  uint32_t *decrypted_len = length_in(0);
  RemoveLog();
  CheckEq(Call("OB_AsymmetricDecrypt", {0, 0, 0, Word(decrypted), Word(decrypted_len), Word(cipher),
                                        *cipher_len, CALG_RSA_KEYX}),
          0, "decrypt, buffers at the top");
  CheckText(std::string(reinterpret_cast<char *>(decrypted), *decrypted_len), kPlain,
            "decrypt gives the plain text back");
  CheckText(LogField(ReadLog(), "OB_AsymmetricDecrypt hContainer=[", "PartIn=["),
            LowBitsText(cipher), "decrypt log entry: the input address, low 32 bits");

  // The signature pair signs; OpenSSL checks the signature.
  Bytes message = {'t', 'o', 'p'};
  Bytes info = obkeyctl::Sha1DigestInfo(message);
  uint8_t *info_top = copy_in(info.data(), info.size());
  uint8_t *signature = take(OB_RSA_BLOCK_LEN);
  uint32_t *signature_len = length_in(0);
  CheckEq(Call("OB_AsymmetricSignData", {0, Word(info_top), static_cast<uint32_t>(info.size()),
                                         Word(signature), Word(signature_len), 0}),
          0, "sign, buffers at the top");
  EVP_PKEY *key = PublicKeyOf("WINE_SIG\\03");
  EVP_MD_CTX *context = EVP_MD_CTX_new();
  bool verified =
      key != nullptr && EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr, key) == 1 &&
      EVP_DigestVerify(context, signature, *signature_len, message.data(), message.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  Check(verified, "OpenSSL verifies the signature made at the top");

  // A symmetric key at the top: triple DES against OpenSSL, back again, and
  // its plain key blob imports to the same bytes.
  DataBlob *des_key = blob_in(24, take(24));
  CheckEq(Call("OB_GenSymmetricKey", {CALG_3DES, Word(des_key), 0}), 0, "3DES key at the top");
  const size_t kDataLen = 32;
  uint8_t *data = take(kDataLen);
  for (size_t i = 0; i < kDataLen; ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
  uint8_t *encrypted = take(kDataLen);
  uint32_t *encrypted_len = length_in(kDataLen);
  CheckEq(Call("OB_SymmetricEncrypt", {Word(des_key), 0, 0, Word(data), kDataLen, Word(encrypted),
                                       Word(encrypted_len), CALG_3DES, CRYPT_MODE_CBC}),
          0, "3DES-CBC encrypt at the top");
  uint8_t expected[kDataLen] = {};
  uint8_t zero_iv[8] = {};
  int expected_len = 0;
  EVP_CIPHER_CTX *cipher_context = EVP_CIPHER_CTX_new();
  bool ok = EVP_EncryptInit_ex(cipher_context, EVP_des_ede3_cbc(), nullptr, des_key->pbData,
                               zero_iv) == 1 &&
            EVP_CIPHER_CTX_set_padding(cipher_context, 0) == 1 &&
            EVP_EncryptUpdate(cipher_context, expected, &expected_len, data, kDataLen) == 1;
  EVP_CIPHER_CTX_free(cipher_context);
  Check(ok && *encrypted_len == kDataLen && std::memcmp(encrypted, expected, kDataLen) == 0,
        "3DES-CBC agrees with OpenSSL");
  uint8_t *round_trip = take(kDataLen);
  uint32_t *round_trip_len = length_in(kDataLen);
  CheckEq(
      Call("OB_SymmetryDecrypt", {Word(des_key), 0, 0, Word(encrypted), kDataLen, Word(round_trip),
                                  Word(round_trip_len), CALG_3DES, CRYPT_MODE_CBC}),
      0, "3DES-CBC decrypt at the top");
  Check(std::memcmp(round_trip, data, kDataLen) == 0, "3DES-CBC round trip");
  DataBlob *key_blob = blob_in(12 + 24, take(12 + 24));
  CheckEq(Call("OB_ExportSymmetricKey", {Word(des_key), 0, Word(key_blob), CALG_3DES}), 0,
          "plain key blob at the top");
  DataBlob *imported = blob_in(0, take(24));
  CheckEq(Call("OB_ImportSymmetricKey", {Word(key_blob), CALG_3DES, Word(imported)}), 0,
          "key blob imported at the top");
  Check(imported->cbData == 24 && std::memcmp(imported->pbData, des_key->pbData, 24) == 0,
        "imported key is the exported key");

  // Digest, labelled file, certificate and certificate request.
  uint8_t *digest = take(20);
  uint32_t *digest_len = length_in(20);
  uint8_t openssl_digest[20] = {};
  CheckEq(Call("OB_Digest", {Word(digest), Word(digest_len), Word(data), kDataLen, CALG_SHA1}), 0,
          "digest at the top");
  EVP_Digest(data, kDataLen, openssl_digest, nullptr, EVP_sha1(), nullptr);
  Check(std::memcmp(digest, openssl_digest, 20) == 0, "digest agrees with OpenSSL");
  char *label = text_in("TOP");
  CheckEq(Call("OBCA_ImportFile", {Word(label), 0, Word(data), kDataLen}), 0,
          "label stored from the top");
  uint8_t *file_back = take(64);
  uint32_t *file_len = length_in(64);
  CheckEq(Call("OBCA_ExportFile", {Word(label), 0, Word(file_back), Word(file_len)}), 0,
          "label read to the top");
  Check(*file_len == kDataLen && std::memcmp(file_back, data, kDataLen) == 0, "label data");
  CheckEq(Call("OBCA_DeleteFile", {Word(label), 0}), 0, "label removed");
  DataBlob *cert = blob_in(64, take(64));
  uint32_t *key_type = length_in(OB_KEY_TYPE_SIGNATURE);
  CheckEq(Call("OBCERT_ExportCert", {Word(cert), 0, Word(key_type)}), 0,
          "certificate read to the top");
  const uint8_t kCert[] = {0x30, 0x03, 0x02, 0x01, 0x07};
  Check(cert->cbData == sizeof(kCert) && std::memcmp(cert->pbData, kCert, sizeof(kCert)) == 0,
        "certificate bytes");
  // The enrollment library receives the subject and the record whole.
  char *subject = text_in("/CN=obkey top");
  DataBlob *request = blob_in(4096, take(4096));
  CheckEq(Call("OBCERT_CreateP10", {0, 0, 0, Word(subject), Word(request), 0}), 0,
          "request made at the top");
  Check(std::string(reinterpret_cast<char *>(request->pbData), request->cbData)
                .rfind("-----BEGIN CERTIFICATE REQUEST-----", 0) == 0,
        "request at the top is PEM");
  Check(used <= kArenaSize, "arena large enough");
  VirtualFree(arena, 0, MEM_RELEASE);
}

// Every shipped DLL beside the harness carries the version resource of this
// build, under its own file name.
void CheckVersionResources() {
  for (const char *file :
       {"obkey.dll", "xcsp_eclib.dll", "KeyOperation.dll", "VeltaNxoEnrollApi.dll"}) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    std::vector<char> info(size);
    if (!Check(size != 0 && GetFileVersionInfoA(file, 0, size, info.data()),
               std::string("version resource of ") + file)) {
      continue;
    }
    auto text = [&](const char *name) {
      std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
      char *value = nullptr;
      UINT len = 0;
      if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&value), &len)) {
        return std::string("<none>");
      }
      return std::string(value);
    };
    CheckText(text("ProductName"), "obkey", std::string("product name of ") + file);
    CheckText(text("FileVersion"), OBKEY_VERSION_STRING, std::string("file version of ") + file);
    CheckText(text("ProductVersion"), OBKEY_VERSION_STRING,
              std::string("product version of ") + file);
    CheckText(text("OriginalFilename"), file, std::string("original file name of ") + file);
    Check(text("FileDescription") != "<none>" && text("LegalCopyright") != "<none>",
          std::string("description and copyright of ") + file);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixed_len = 0;
    Check(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &fixed_len) &&
              fixed->dwFileVersionMS ==
                  static_cast<DWORD>(OBKEY_VERSION_MAJOR << 16 | OBKEY_VERSION_MINOR) &&
              fixed->dwFileVersionLS == static_cast<DWORD>(OBKEY_VERSION_PATCH << 16),
          std::string("numeric file version of ") + file);
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "fake";
  g_obkey = LoadLibraryA("obkey.dll");
  if (g_obkey == nullptr) {
    std::printf("cannot load obkey.dll (error %lu)\n", GetLastError());
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  CheckEveryExportAtEverySkew();
  CheckFixedAnswers();
  if (mode == "softtoken") {
    const char *engine = std::getenv("OBKEY_SHA1_ENGINE");
#if defined(_WIN64)
    std::printf("wine-softtoken: x86_64, SHA-1 engine %s\n",
                engine != nullptr ? engine : "(the CPU's choice)");
#else
    g_skew = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) % 16 : 0;
    std::printf("wine-softtoken: stack skew %u, SHA-1 engine %s\n", g_skew,
                engine != nullptr ? engine : "(the CPU's choice)");
#endif
    CheckLoginFormatPinOnSoftToken();
    CheckSigningRequestOnSoftToken();
    CheckKeyImportOnSoftToken();
    CheckLabelStoreOnSoftToken();
    CheckCertificatesOnSoftToken();
    CheckKeyWrapOnSoftToken();
    CheckDigests();
    CheckEnrollmentOnSoftToken();
    CheckBuffersAtTheTop();
    CheckVersionResources();
  } else if (Check(LoadFakeControls(), "fake token library controls found")) {
    if (mode == "unconfigured") {
      CheckUnconfiguredDevice();
    } else {
      CheckLoginFormatPinOnConfiguredDevice();
      CheckSizeQueriesAndUnreadRecords();
    }
  }
  std::printf("wine-%s: %d passed, %d failed\n", mode.c_str(), g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

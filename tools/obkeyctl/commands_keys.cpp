// Token keys: containers, key pairs, random numbers, RSA operations, key
// export and import.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "key_files.h"
#include "pkcs11_view.h"
#include "rsa_blobs.h"
#include "secret_array.h"
#include "softtoken_status.h"
#include "token_view.h"
#include "wiping_allocator.h"

namespace obkeyctl {
namespace {

constexpr size_t kKeyNameCapacity = 160;
constexpr size_t kContainerNameMax = 47;
constexpr size_t kKeyNamesNameMax = OB_KEY_NAME_LEN_REPORTED - 4;
constexpr size_t kRawSignMax = 117;
constexpr uint32_t kRandomMax = 1u << 20;

bool Contains(const std::string &text, const char *word) {
  return text.find(word) != std::string::npos;
}

// Why obkey refuses a container name, from the name alone.
std::vector<Finding> ContainerNameFindings(const std::string &name, const char *keyword) {
  std::vector<Finding> findings;
  if (keyword == nullptr && !Contains(name, "SIG") && !Contains(name, "ENC")) {
    findings.push_back({"the container name " + name +
                            " holds neither SIG (signature container) nor ENC (exchange "
                            "container)",
                        "put SIG or ENC in the name, e.g. " + name + "_SIG"});
  } else if (keyword != nullptr && !Contains(name, keyword)) {
    findings.push_back({"a " + std::string(Contains(keyword, "SIG") ? "signature" : "exchange") +
                            " key pair goes into a container whose name holds " + keyword +
                            ", and " + name + " does not",
                        "name the container e.g. " + name + "_" + keyword});
  }
  if (name.size() > kContainerNameMax) {
    findings.push_back({"the container name is " + std::to_string(name.size()) +
                            " bytes long; the token keeps at most 47",
                        "use a shorter name"});
  }
  return findings;
}

uint32_t KeyType(const Args &args) {
  return args.Get("type") == "enc" ? OB_KEY_TYPE_EXCHANGE : OB_KEY_TYPE_SIGNATURE;
}

const char *KeyRole(uint32_t key_type) {
  return key_type == OB_KEY_TYPE_EXCHANGE ? "exchange" : "signature";
}

int CreateContainerCommand(Context &context, const Args &args) {
  const std::string name = args.at(0);
  auto create = Require(context.api().create_container, "OB_CreateContainer");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(true);
  int32_t status = context.Call("OB_CreateContainer", [&] { return create(name.c_str()); });
  context.Check("create-container " + name, status, [&](int32_t failed) {
    std::vector<Finding> findings;
    if (failed == OB_E_ARGUMENT) findings = ContainerNameFindings(name, nullptr);
    if (failed == XCST_CONTAINER_NOT_FOUND) {
      findings.push_back(
          {"the slot for this kind of container holds a container of another "
           "name (`obkeyctl status` shows it)",
           "use that container, or format the token to start afresh"});
    }
    return findings;
  });
  return context.Done("create-container " + name);
}

int KeyNamesCommand(Context &context, const Args &args) {
  const std::string name = args.at(0);
  auto find = Require(context.api().find_container, "OB_FindContainerAndKeypair");
  uint8_t names[4][kKeyNameCapacity] = {};
  DataBlob records[4] = {{0, names[0]}, {0, names[1]}, {0, names[2]}, {0, names[3]}};
  if (name.size() > kKeyNamesNameMax) {
    Failure("key-names: the container name is " + std::to_string(name.size()) + " bytes; at most " +
            std::to_string(kKeyNamesNameMax) + " make a key name");
  }
  int32_t status = context.Call("OB_FindContainerAndKeypair", [&] {
    return find(name.c_str(), &records[0], &records[1], &records[2], &records[3]);
  });
  context.Check("key-names", status);
  const char *roles[4] = {"signature", "signature", "exchange", "exchange"};
  for (int i = 0; i < 4; ++i) {
    std::printf("%-9s %s\n", roles[i], reinterpret_cast<const char *>(names[i]));
  }
  return kExitOk;
}

// Whether the container slot of `key_type` already holds a key pair of
// that type, asked the way any client can: by exporting its public key.
bool PairExists(Context &context, const std::string &container, uint32_t key_type) {
  std::vector<uint8_t> blob;
  return PublicKeyBlob(context, container + SlotOf(key_type).suffix, &blob);
}

// The slot a key name's digit selects; null for a name the library refuses.
const Slot *SlotOfKeyName(const std::string &name) {
  size_t slash = name.rfind('\\');
  if (slash == std::string::npos || slash + 2 >= name.size()) return nullptr;
  char digit = name[slash + 2];
  if (digit == '1' || digit == '2') return &SlotOf(OB_KEY_TYPE_EXCHANGE);
  if (digit == '3' || digit == '4') return &SlotOf(OB_KEY_TYPE_SIGNATURE);
  return nullptr;
}

int GenerateKeyCommand(Context &context, const Args &args) {
  const std::string container = args.at(0);
  const uint32_t key_type = KeyType(args);
  const char *keyword = key_type == OB_KEY_TYPE_EXCHANGE ? "ENC" : "SIG";
  if (!Contains(container, keyword)) {
    throw Stop{kExitUsage,
               "genkey: --type " + args.Get("type") + " needs a container name with " + keyword,
               ContainerNameFindings(container, keyword)};
  }
  auto generate = Require(context.api().generate_key_pair, "OB_GenAsymmetricKey");
  context.LogIn(args);
  if (!args.Has("force") && PairExists(context, container, key_type)) {
    Failure("genkey: the " + std::string(KeyRole(key_type)) + " container already has a " +
                KeyRole(key_type) + " key pair; nothing was changed",
            {{"generating replaces the pair, and its private key is lost for good",
              "add --force to replace it"}});
  }
  context.BeforeTokenCall(true);
  uint8_t name1[kKeyNameCapacity] = {}, name2[kKeyNameCapacity] = {};
  DataBlob record1{0, name1}, record2{0, name2};
  int32_t status = context.Call("OB_GenAsymmetricKey", [&] {
    return generate(container.c_str(), &record1, &record2, 0, 0, key_type);
  });
  context.Check("genkey", status, [&](int32_t failed) {
    std::vector<Finding> findings;
    if (failed == OB_E_ARGUMENT) findings = ContainerNameFindings(container, keyword);
    if (failed == XCST_CONTAINER_NOT_FOUND) {
      findings.push_back({"the " + std::string(KeyRole(key_type)) +
                              " container slot holds a container of another name (`obkeyctl "
                              "status` shows it)",
                          "generate in that container, or format the token"});
    }
    return findings;
  });
  std::printf("%s %s\n", reinterpret_cast<char *>(name1), reinterpret_cast<char *>(name2));
  return context.Done("genkey",
                      std::string("new ") + KeyRole(key_type) + " key pair in " + container);
}

int RandomCommand(Context &context, const Args &args) {
  const std::string &text = args.at(0);
  char *end = nullptr;
  unsigned long count = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || count == 0 || count > kRandomMax) {
    UsageError("random " + text + ": give a byte count from 1 to " + std::to_string(kRandomMax));
  }
  auto generate = Require(context.api().generate_random, "OB_GenRandom");
  context.BeforeTokenCall(false);
  obkey::SecretBytes bytes(count);
  DataBlob record{static_cast<uint32_t>(count), bytes.data()};
  context.Check("random", context.Call("OB_GenRandom", [&] { return generate(&record); }));
  Emit(args, bytes.data(), bytes.size(), true);
  return kExitOk;
}

// The digests the token's key can sign, each with its algorithm's object
// identifier (the contents of the OID).
struct DigestKind {
  const char *name;
  const EVP_MD *(*md)();
  std::vector<uint8_t> oid;
};
const std::vector<DigestKind> &DigestKinds() {
  static const std::vector<DigestKind> kinds = {
      {"sha1", EVP_sha1, {0x2b, 0x0e, 0x03, 0x02, 0x1a}},
      {"sha224", EVP_sha224, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}},
      {"sha256", EVP_sha256, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}},
      {"sha384", EVP_sha384, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}},
      {"sha512", EVP_sha512, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}},
  };
  return kinds;
}

// DigestInfo is the DER DigestInfo that PKCS #1 v1.5 signs:
// SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING digest }. Every length
// fits one byte.
std::vector<uint8_t> DigestInfo(const DigestKind &kind, const uint8_t *digest, size_t digest_len) {
  const size_t oid_len = kind.oid.size();
  const size_t algorithm_len = 2 + oid_len + 2;
  std::vector<uint8_t> info = {0x30, static_cast<uint8_t>(2 + algorithm_len + 2 + digest_len),
                               0x30, static_cast<uint8_t>(algorithm_len),
                               0x06, static_cast<uint8_t>(oid_len)};
  info.reserve(info.size() + oid_len + 4 + digest_len);
  for (uint8_t byte : kind.oid) info.push_back(byte);
  for (uint8_t byte : {0x05, 0x00, 0x04}) info.push_back(byte);
  info.push_back(static_cast<uint8_t>(digest_len));
  for (size_t i = 0; i < digest_len; ++i) info.push_back(digest[i]);
  return info;
}

constexpr char kDefaultDigest[] = "sha256";

const DigestKind *DigestKindOf(const std::string &name) {
  for (const DigestKind &kind : DigestKinds()) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

// FileDigestInfo is the DigestInfo of the file's `kind` digest, computed as
// the file streams past.
std::vector<uint8_t> FileDigestInfo(const DigestKind &kind, const std::string &path) {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> hash(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!hash || EVP_DigestInit_ex(hash.get(), kind.md(), nullptr) != 1) {
    Failure(std::string("cannot compute a ") + kind.name + " digest");
  }
  StreamInput(path, [&](const uint8_t *bytes, size_t chunk) {
    if (EVP_DigestUpdate(hash.get(), bytes, chunk) != 1) Failure("the digest failed");
  });
  uint8_t value[EVP_MAX_MD_SIZE];
  unsigned int value_len = 0;
  if (EVP_DigestFinal_ex(hash.get(), value, &value_len) != 1) Failure("the digest failed");
  return DigestInfo(kind, value, value_len);
}

// DigestKindIn names the digest whose DigestInfo `block` is; null when it
// is none of them.
const DigestKind *DigestKindIn(const uint8_t *block, size_t block_len) {
  for (const DigestKind &kind : DigestKinds()) {
    const size_t digest_len = static_cast<size_t>(EVP_MD_size(kind.md()));
    const std::vector<uint8_t> zero(digest_len, 0);
    const std::vector<uint8_t> shape = DigestInfo(kind, zero.data(), zero.size());
    if (block_len == shape.size() &&
        std::equal(shape.begin(), shape.end() - static_cast<std::ptrdiff_t>(digest_len), block)) {
      return &kind;
    }
  }
  return nullptr;
}

// The data a signature covers: the DigestInfo of the file's digest, the
// digest computed as the file streams past; with --digest none the file
// itself, which must fit one RSA block.
std::vector<uint8_t> SignedData(const Args &args, const std::string &path, const char *verb) {
  const std::string digest = args.Get("digest", kDefaultDigest);
  if (digest == "none") {
    std::vector<uint8_t> data;
    uint64_t len = StreamInput(path, [&](const uint8_t *bytes, size_t chunk) {
      size_t keep = std::min(
          chunk, OB_RSA_BLOCK_LEN + 1 - std::min<size_t>(data.size(), OB_RSA_BLOCK_LEN + 1));
      data.insert(data.end(), bytes, bytes + keep);
    });
    if (len > kRawSignMax && len != OB_RSA_BLOCK_LEN) {
      Failure(std::string(verb) + ": " + path + " is " + std::to_string(len) +
                  " bytes; with --digest none the token takes at most 117 bytes, or exactly 128",
              {{"--digest none hands the file to the key as it is",
                "leave --digest out (sha256, the default) or give another digest: the token "
                "then signs the file's digest"}});
    }
    return data;
  }
  const DigestKind *kind = DigestKindOf(digest);
  if (kind == nullptr) Failure("cannot compute a " + digest + " digest");
  return FileDigestInfo(*kind, path);
}

std::vector<Finding> SignFindings(int32_t failed) {
  std::vector<Finding> findings;
  if (failed == OB_E_ARGUMENT) {
    findings.push_back({"the signature container has no signature key pair",
                        "make one: obkeyctl genkey NAME_SIG --type sig"});
  }
  return findings;
}

// Several files are signed at one login, each signature into FILE.sig.
void CheckBatchArgs(const Args &args) {
  for (const char *option : {"out", "hex"}) {
    if (args.Has(option)) {
      UsageError(std::string("sign: --") + option +
                 " takes the signature of one file; several files each get FILE.sig");
    }
  }
  for (size_t i = 0; i < args.count(); ++i) {
    if (args.at(i) == "-") UsageError("sign: '-' (standard input) is signed alone");
  }
}

int SignCommand(Context &context, const Args &args) {
  const size_t count = args.count();
  if (count > 1) CheckBatchArgs(args);
  // Every file is read and digested before the PIN is spent on them.
  std::vector<std::vector<uint8_t>> data;
  for (size_t i = 0; i < count; ++i) data.push_back(SignedData(args, args.at(i), "sign"));
  auto sign = Require(context.api().sign, "OB_AsymmetricSignData");
  context.LogIn(args);
  context.BeforeTokenCall(false);
  for (size_t i = 0; i < count; ++i) {
    uint8_t signature[OB_RSA_BLOCK_LEN] = {};
    uint32_t signature_len = sizeof(signature);
    int32_t status = context.Call("OB_AsymmetricSignData", [&] {
      return sign(nullptr, data[i].data(), static_cast<uint32_t>(data[i].size()), signature,
                  &signature_len, 0);
    });
    context.Check(count == 1 ? "sign"
                             : "sign " + args.at(i) + " (" + std::to_string(i) + " of " +
                                   std::to_string(count) + " files signed before it)",
                  status, SignFindings);
    if (count == 1) {
      Emit(args, signature, signature_len, false);
    } else {
      WriteOutput(args.at(i) + ".sig", signature, signature_len, false);
    }
  }
  if (count == 1) return kExitOk;
  return context.Done("sign",
                      std::to_string(count) + " files signed at one login, each into FILE.sig");
}

// MismatchFinding says what a signature that does not match holds: the
// DigestInfo of which digest, of this file or of other data.
Finding MismatchFinding(const Args &args, const uint8_t *block, size_t block_len) {
  const std::string digest = args.Get("digest", kDefaultDigest);
  const DigestKind *found = DigestKindIn(block, block_len);
  if (found != nullptr && found->name != digest) {
    const bool of_this_file =
        FileDigestInfo(*found, args.at(0)) == std::vector<uint8_t>(block, block + block_len);
    if (of_this_file) {
      return {"the signature holds the " + std::string(found->name) + " digest of " + args.at(0) +
                  " (its DigestInfo names " + found->name + "), not a " + digest + " one",
              std::string("check it as such: --digest ") + found->name};
    }
    return {"the signature holds a " + std::string(found->name) +
                " digest (its DigestInfo names it) of other data than " + args.at(0),
            "check the file it was made for"};
  }
  if (found != nullptr) {
    return {"the signature holds a " + digest + " digest of other data than " + args.at(0),
            "check the file it was made for"};
  }
  if (block_len == OB_RSA_BLOCK_LEN) {
    return {
        "the token's public key gives no valid signature block: the signature was made "
        "with another key, or it is damaged",
        "check it with the key that made it (openssl dgst -verify)"};
  }
  return {"the signature holds " + std::to_string(block_len) + " bytes that are no DigestInfo",
          digest == "none" ? "compare them with the signed data"
                           : "a signature made with --digest none is checked with --digest none"};
}

int VerifyCommand(Context &context, const Args &args) {
  std::vector<uint8_t> expected = SignedData(args, args.at(0), "verify");
  std::vector<uint8_t> signature = ReadInput(args.at(1));
  auto verify = Require(context.api().verify, "OB_AsymmetricVerifySign");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  uint8_t block[OB_RSA_BLOCK_LEN] = {};
  uint32_t block_len = sizeof(block);
  int32_t status = context.Call("OB_AsymmetricVerifySign", [&] {
    return verify(nullptr, block, &block_len, signature.data(),
                  static_cast<uint32_t>(signature.size()), 0);
  });
  context.Check("verify", status, [&](int32_t failed) {
    std::vector<Finding> findings;
    if (signature.size() != OB_RSA_BLOCK_LEN) {
      findings.push_back({args.at(1) + " is " + std::to_string(signature.size()) +
                              " bytes; a token signature is 128",
                          "give the raw signature file (not hex)"});
    } else if (failed == OB_E_ARGUMENT) {
      findings.push_back({"the signature container has no signature key pair", ""});
    }
    return findings;
  });
  const std::string digest = args.Get("digest", kDefaultDigest);
  // The token checks with the public part it stores, which no PIN guards.
  context.Note(
      "verify: checked with the public key stored on the token alone: a public "
      "operation needs no PIN and nothing binds that key to the private one; against a "
      "key you trust: openssl dgst -" +
      (digest == "none" ? std::string(kDefaultDigest) : digest) +
      " -verify signer.pem -signature " + args.at(1) + " " + args.at(0));
  if (std::vector<uint8_t>(block, block + block_len) == expected) {
    std::printf("verify: signature matches (%s)\n", digest.c_str());
    return kExitOk;
  }
  std::printf("verify: signature does NOT match (%s)\n", digest.c_str());
  Failure("verify: " + args.at(1) + " is no " + digest + " signature of " + args.at(0),
          {MismatchFinding(args, block, block_len)});
}

int EncryptCommand(Context &context, const Args &args) {
  obkey::SecretBytes plain = ReadSecretInput(args.at(0));
  auto encrypt = Require(context.api().encrypt, "OB_AsymmetricEncrypt");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  uint8_t cipher[OB_RSA_BLOCK_LEN] = {};
  uint32_t cipher_len = sizeof(cipher);
  int32_t status = context.Call("OB_AsymmetricEncrypt", [&] {
    return encrypt(nullptr, 0, 0, cipher, &cipher_len, plain.data(),
                   static_cast<uint32_t>(plain.size()), CALG_RSA_KEYX);
  });
  context.Check("encrypt", status, [&](int32_t) {
    std::vector<Finding> findings;
    if (plain.size() > kRawSignMax && plain.size() != OB_RSA_BLOCK_LEN) {
      findings.push_back({"the file is " + std::to_string(plain.size()) +
                              " bytes; the token encrypts at most 117 bytes (or a raw block of "
                              "128)",
                          "encrypt a symmetric key instead (obkeyctl symkey)"});
    }
    return findings;
  });
  Emit(args, cipher, cipher_len, false);
  return kExitOk;
}

int DecryptCommand(Context &context, const Args &args) {
  uint32_t alg_id = args.Get("key", "enc") == "sig" ? CALG_RSA_SIGN : CALG_RSA_KEYX;
  std::vector<uint8_t> cipher = ReadInput(args.at(0));
  auto decrypt = Require(context.api().decrypt, "OB_AsymmetricDecrypt");
  context.LogIn(args);
  context.BeforeTokenCall(false);
  obkey::SecretArray<OB_RSA_BLOCK_LEN> plain;
  uint32_t plain_len = static_cast<uint32_t>(plain.size());
  int32_t status = context.Call("OB_AsymmetricDecrypt", [&] {
    return decrypt(nullptr, 0, 0, plain.data(), &plain_len, cipher.data(),
                   static_cast<uint32_t>(cipher.size()), alg_id);
  });
  context.Check("decrypt", status, [&](int32_t) {
    std::vector<Finding> findings;
    if (cipher.size() == 0 || cipher.size() > OB_RSA_BLOCK_LEN) {
      findings.push_back({args.at(0) + " is " + std::to_string(cipher.size()) +
                              " bytes; the token decrypts one block of 1 to 128 bytes",
                          "give the raw 128-byte block (not hex)"});
    }
    return findings;
  });
  Emit(args, plain.data(), plain_len, true);
  return kExitOk;
}

int ExportPublicKeyCommand(Context &context, const Args &args) {
  std::string name = args.at(0);
  auto export_public_key = Require(context.api().export_public_key, "OB_ExportPublicKey");
  LogInToSeeObjects(context, args);
  context.BeforeTokenCall(false);
  // The token picks the pair by the name's last digit alone: a name whose
  // container is not the one in that slot would get another key.
  if (const Slot *slot = SlotOfKeyName(name)) {
    std::string names[2];
    ContainerNames(context, names);
    const std::string container = KeyNameContainer(name);
    if (names[slot->index] != container) {
      Failure("export-pubkey: there is no container " + container + " on the token",
              {{"the " + std::string(slot->role) + " container is " +
                    (names[slot->index].empty() ? "absent" : names[slot->index]),
                "`obkeyctl list` shows the containers and their key names"}});
    }
  }
  std::vector<uint8_t> blob(OB_PUBLIC_KEY_BLOB_LEN);
  DataBlob key_name{static_cast<uint32_t>(name.size() + 1), reinterpret_cast<uint8_t *>(&name[0])};
  DataBlob record{static_cast<uint32_t>(blob.size()), blob.data()};
  int32_t status =
      context.Call("OB_ExportPublicKey", [&] { return export_public_key(&key_name, &record); });
  context.Check("export-pubkey", status, [&](int32_t failed) {
    std::vector<Finding> findings;
    size_t slash = name.rfind('\\');
    if (failed == OB_E_ARGUMENT && (slash == std::string::npos || slash + 2 >= name.size() ||
                                    name[slash + 2] < '1' || name[slash + 2] > '4')) {
      findings.push_back({"the key name " + name +
                              " does not end in \\01 or \\02 (exchange pair) or \\03 or \\04 "
                              "(signature pair)",
                          "use a name from genkey or key-names, e.g. 'MY_SIG\\03' (quote the "
                          "backslash in the shell)"});
    }
    if (failed == XCST_KEY_NOT_FOUND || failed == XCST_CONTAINER_NOT_FOUND) {
      findings.push_back(
          {"there is no such key pair on the token", "`obkeyctl status` shows what there is"});
    }
    return findings;
  });
  blob.resize(record.cbData);
  std::string form = args.Get("outform", "pem");
  if (form == "blob") {
    Emit(args, blob.data(), blob.size(), false);
  } else if (form == "der") {
    std::vector<uint8_t> der;
    if (!PublicBlobToDer(blob, &der)) Failure("the exported blob is no RSA public key");
    Emit(args, der.data(), der.size(), false);
  } else {
    std::string pem;
    if (!PublicBlobToPem(blob, &pem)) Failure("the exported blob is no RSA public key");
    EmitText(args, pem, false);
  }
  return kExitOk;
}

int ImportKeyCommand(Context &context, const Args &args) {
  uint32_t key_type = KeyType(args);
  const PrivateKeyFile read = ReadKeyFile(args);
  obkey::SecretBytes blob;
  if (!KeyToPrivateBlob(read.key.get(), &blob)) {
    Failure("import-key: a part of the RSA key in " + args.at(0) + " is missing");
  }
  auto import_key = Require(context.api().import_private_key, "OB_ImportPrivateKey");
  context.LogIn(args);
  std::string names[2];
  ContainerNames(context, names);
  const std::string &container = names[SlotOf(key_type).index];
  if (!args.Has("force") && !container.empty() && PairExists(context, container, key_type)) {
    Failure("import-key: the " + std::string(KeyRole(key_type)) + " container " + container +
                " already has a " + KeyRole(key_type) + " key pair; nothing was changed",
            {{"importing replaces the pair, and its private key is lost for good",
              "add --force to replace it"}});
  }
  context.BeforeTokenCall(true);
  DataBlob record{static_cast<uint32_t>(blob.size()), blob.data()};
  int handle = 0;
  int32_t status = context.Call("OB_ImportPrivateKey",
                                [&] { return import_key(&handle, &record, key_type, 0, 0); });
  context.Check("import-key", status);
  std::string stored = std::string(KeyRole(key_type)) + " key pair stored" +
                       (container.empty() ? "" : " in " + container) + " from " + read.form;
  if (!read.certificate_der.empty()) {
    stored += ", with its certificate (" +
              StoreBundledCertificate(context, read, key_type, container) + ")";
  }
  return context.Done("import-key", stored);
}

}  // namespace

void AddKeyCommands(std::vector<Command> *table) {
  table->push_back({"create-container", "NAME", "@pin",
                    "create (or open) a container; NAME holds SIG or ENC",
                    "NAME (1 to 47 bytes) holds SIG for the signature container (slot 0) or\n"
                    "ENC for the exchange container (slot 1); a name with neither is refused.\n"
                    "Each slot holds one container: a second name for a taken slot is refused.\n"
                    "genkey creates the container itself, so this is rarely needed.\n"
                    "\nexample:\n  obkeyctl create-container MY_SIG\n",
                    CreateContainerCommand});
  table->push_back({"key-names", "CONTAINER", "", "show the four key names of a container",
                    "No token access: key names are the container name with \\01 \\02 (exchange\n"
                    "pair) or \\03 \\04 (signature pair).\n"
                    "\nexample:\n  obkeyctl key-names MY_SIG\n",
                    KeyNamesCommand});
  table->push_back({"genkey", "CONTAINER", "type=sig|enc! force @pin",
                    "generate an RSA key pair on the token",
                    "A signature pair (--type sig) goes into a container whose name holds SIG, an\n"
                    "exchange pair (--type enc) into one whose name holds ENC. An existing pair\n"
                    "is replaced only with --force. Prints the pair's two key names.\n"
                    "\nexamples:\n"
                    "  obkeyctl genkey MY_SIG --type sig\n"
                    "  obkeyctl genkey MY_ENC --type enc --pin-env OBKEY_PIN\n",
                    GenerateKeyCommand});
  table->push_back({"random", "COUNT", "@out", "random bytes from the token",
                    "\nexamples:\n"
                    "  obkeyctl random 16 --hex\n"
                    "  obkeyctl random 32 --out seed.bin\n",
                    RandomCommand});
  table->push_back(
      {"sign", "FILE...", "digest=sha1|sha224|sha256|sha384|sha512|none @out @pin",
       "sign files with the token's signature key (PKCS #1 v1.5)",
       "The token signs the DigestInfo of the file's digest (PKCS #1 v1.5):\n"
       "--digest sha256 (the default), sha1, sha224, sha384 or sha512, a signature\n"
       "that `openssl dgst -sha256 -verify` checks. obkeyctl reads the file as it\n"
       "digests it, so a file of any size takes the same little memory. --digest\n"
       "none signs the file itself (at most 117 bytes, or exactly 128). The\n"
       "signature (128 bytes) is written raw; '-' reads standard input.\n"
       "Several files are signed at one login (one PIN check for all of them), each\n"
       "signature into FILE.sig beside its file; the first failure stops the rest.\n"
       "\nexamples:\n"
       "  obkeyctl sign message.txt --out message.sig\n"
       "  obkeyctl sign - --pin-file ~/.pin < message.txt > message.sig\n"
       "  obkeyctl sign *.pdf --pin-file ~/.pin      # each into FILE.pdf.sig\n"
       "  obkeyctl export-pubkey 'MY_SIG\\03' --out signer.pem\n"
       "  openssl dgst -sha256 -verify signer.pem -signature message.sig message.txt\n",
       SignCommand});
  table->push_back(
      {"verify", "FILE SIGNATURE", "digest=sha1|sha224|sha256|sha384|sha512|none @pin",
       "check a signature with the token's signature key",
       "Give the --digest the signature was made with (default sha256). Prints whether\n"
       "it matches; the exit status is 1 when it does not, and obkeyctl then names the\n"
       "digest whose DigestInfo the signature holds. The check uses the public key\n"
       "stored on the token alone: a public operation needs no PIN, and nothing binds\n"
       "that key to the private one, so obkeyctl says so; check against a key you trust\n"
       "with openssl where it matters.\n"
       "\nexample:\n  obkeyctl verify message.txt message.sig\n",
       VerifyCommand});
  table->push_back({"encrypt", "FILE", "@out @pin",
                    "encrypt at most 117 bytes with the token's exchange key",
                    "\nexamples:\n"
                    "  obkeyctl encrypt session.key --out session.key.enc\n"
                    "  openssl rand 16 | obkeyctl encrypt - > wrapped.bin\n",
                    EncryptCommand});
  table->push_back({"decrypt", "FILE", "key=enc|sig @out @pin",
                    "decrypt one block with a token key",
                    "The result is secret: files are written with mode 0600.\n"
                    "\nexample:\n  obkeyctl decrypt wrapped.bin --out session.key\n",
                    DecryptCommand});
  table->push_back(
      {"export-pubkey", "KEYNAME", "outform=pem|der|blob @out @pin",
       "export a public key (PEM by default)",
       "KEYNAME is CONTAINER\\01 or \\02 (exchange) or \\03 or \\04 (signature); quote\n"
       "the backslash in the shell. blob is the 148-byte CryptoAPI public-key blob.\n"
       "\nexamples:\n"
       "  obkeyctl export-pubkey 'MY_SIG\\03' --out signer.pem\n"
       "  obkeyctl export-pubkey 'MY_SIG\\03' --outform der | openssl pkey -pubin "
       "-inform DER -text -noout\n",
       ExportPublicKeyCommand});
  table->push_back(
      {"import-key", "KEYFILE", "type=sig|enc! inform=pem|der|p12 pass-file= pass-stdin force @pin",
       "store an RSA private key (1024-bit) on the token",
       "The key goes into the container of its type (create-container makes it);\n"
       "an existing key pair there is replaced only with --force. KEYFILE is PEM or\n"
       "DER (PKCS #1 or #8, encrypted or not) or a PKCS #12 file (.p12, .pfx), whose\n"
       "certificate is stored beside the key. An encrypted file's password comes from\n"
       "--pass-file or --pass-stdin; on a terminal obkeyctl asks for it once.\n"
       "\nexamples:\n"
       "  openssl genrsa -out key.pem 1024\n"
       "  obkeyctl import-key key.pem --type sig\n"
       "  obkeyctl import-key signer.p12 --type sig --pass-file p12.pass --pin-file ~/.pin\n"
       "  openssl pkey -in key.pem -outform DER | obkeyctl import-key - --type enc "
       "--inform der --pin-file ~/.pin\n",
       ImportKeyCommand});
}

}  // namespace obkeyctl

// Token keys: containers, key pairs, random numbers, RSA operations, key
// export and import.
#include <openssl/crypto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/obkeyctl/cli.h"
#include "tools/obkeyctl/rsa_blobs.h"

namespace obkeyctl {
namespace {

constexpr size_t kKeyNameCapacity = 160;

int CreateContainerCommand(Context &context, const Args &args) {
  if (context.api.create_container == nullptr) return Missing("OB_CreateContainer");
  if (args.count() != 1) return Fail("create-container needs a name holding SIG or ENC");
  return Report("create-container " + args.at(0), context.api.create_container(args.at(0).c_str()));
}

int KeyNamesCommand(Context &context, const Args &args) {
  if (context.api.find_container == nullptr) return Missing("OB_FindContainerAndKeypair");
  if (args.count() != 1) return Fail("key-names needs a container name");
  uint8_t names[4][kKeyNameCapacity] = {};
  DataBlob records[4] = {{0, names[0]}, {0, names[1]}, {0, names[2]}, {0, names[3]}};
  int32_t status = context.api.find_container(args.at(0).c_str(), &records[0], &records[1],
                                              &records[2], &records[3]);
  if (status != OB_OK) return Report("key-names", status);
  const char *roles[4] = {"signature", "signature", "exchange", "exchange"};
  for (int i = 0; i < 4; ++i) {
    std::printf("%-9s %s\n", roles[i], reinterpret_cast<const char *>(names[i]));
  }
  return 0;
}

int GenerateKeyCommand(Context &context, const Args &args) {
  if (context.api.generate_key_pair == nullptr) return Missing("OB_GenAsymmetricKey");
  uint32_t key_type = KeyTypeOption(args);
  if (args.count() != 1 || key_type == 0) return Fail("genkey needs a container name and --type");
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  uint8_t name1[kKeyNameCapacity] = {}, name2[kKeyNameCapacity] = {};
  DataBlob record1{0, name1}, record2{0, name2};
  int32_t status =
      context.api.generate_key_pair(args.at(0).c_str(), &record1, &record2, 0, 0, key_type);
  if (status == OB_OK) {
    std::printf("key names: %s %s\n", reinterpret_cast<char *>(name1),
                reinterpret_cast<char *>(name2));
  }
  return Report("genkey", status);
}

int RandomCommand(Context &context, const Args &args) {
  if (context.api.generate_random == nullptr) return Missing("OB_GenRandom");
  uint32_t count = 0;
  if (args.count() != 1 || !Args({}, {{"n", args.at(0)}}).GetNumber("n", 0, &count)) {
    return Fail("random needs a byte count");
  }
  std::vector<uint8_t> bytes(count);
  DataBlob record{count, bytes.data()};
  int32_t status = context.api.generate_random(&record);
  if (status != OB_OK) return Report("random", status);
  return Emit(args, bytes.data(), bytes.size());
}

// The data a signature covers: the file itself, or with --digest sha1 the
// DigestInfo of its SHA-1 digest.
bool SignedData(const Args &args, const std::string &path, std::vector<uint8_t> *out_data) {
  std::vector<uint8_t> file;
  if (!ReadFile(path, &file)) return false;
  if (args.Get("digest") == "sha1") {
    *out_data = Sha1DigestInfo(file);
  } else {
    out_data->swap(file);
  }
  return true;
}

int SignCommand(Context &context, const Args &args) {
  if (context.api.sign == nullptr) return Missing("OB_AsymmetricSignData");
  if (args.count() != 1) return Fail("sign needs a file");
  std::vector<uint8_t> data;
  if (!SignedData(args, args.at(0), &data)) return 1;
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  uint8_t signature[OB_RSA_BLOCK_LEN] = {};
  uint32_t signature_len = sizeof(signature);
  int32_t status = context.api.sign(nullptr, data.data(), static_cast<uint32_t>(data.size()),
                                    signature, &signature_len, 0);
  if (status != OB_OK) return Report("sign", status);
  return Emit(args, signature, signature_len);
}

int VerifyCommand(Context &context, const Args &args) {
  if (context.api.verify == nullptr) return Missing("OB_AsymmetricVerifySign");
  if (args.count() != 2) return Fail("verify needs the signed file and the signature");
  std::vector<uint8_t> expected, signature;
  if (!SignedData(args, args.at(0), &expected) || !ReadFile(args.at(1), &signature)) return 1;
  uint8_t block[OB_RSA_BLOCK_LEN] = {};
  uint32_t block_len = sizeof(block);
  int32_t status = context.api.verify(nullptr, block, &block_len, signature.data(),
                                      static_cast<uint32_t>(signature.size()), 0);
  if (status != OB_OK) return Report("verify", status);
  bool matches = std::vector<uint8_t>(block, block + block_len) == expected;
  std::printf("verify: %s\n", matches ? "signature matches" : "signature does NOT match");
  return matches ? 0 : 1;
}

int EncryptCommand(Context &context, const Args &args) {
  if (context.api.encrypt == nullptr) return Missing("OB_AsymmetricEncrypt");
  if (args.count() != 1) return Fail("encrypt needs a file of at most 117 bytes");
  std::vector<uint8_t> plain;
  if (!ReadFile(args.at(0), &plain)) return 1;
  uint8_t cipher[OB_RSA_BLOCK_LEN] = {};
  uint32_t cipher_len = sizeof(cipher);
  int32_t status = context.api.encrypt(nullptr, 0, 0, cipher, &cipher_len, plain.data(),
                                       static_cast<uint32_t>(plain.size()), CALG_RSA_KEYX);
  if (status != OB_OK) return Report("encrypt", status);
  return Emit(args, cipher, cipher_len);
}

int DecryptCommand(Context &context, const Args &args) {
  if (context.api.decrypt == nullptr) return Missing("OB_AsymmetricDecrypt");
  if (args.count() != 1) return Fail("decrypt needs a file");
  uint32_t alg_id = args.Get("key", "enc") == "sig" ? CALG_RSA_SIGN : CALG_RSA_KEYX;
  std::vector<uint8_t> cipher;
  if (!ReadFile(args.at(0), &cipher)) return 1;
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  uint8_t plain[OB_RSA_BLOCK_LEN] = {};
  uint32_t plain_len = sizeof(plain);
  int32_t status = context.api.decrypt(nullptr, 0, 0, plain, &plain_len, cipher.data(),
                                       static_cast<uint32_t>(cipher.size()), alg_id);
  if (status != OB_OK) return Report("decrypt", status);
  int result = Emit(args, plain, plain_len);
  OPENSSL_cleanse(plain, sizeof(plain));
  return result;
}

int ExportPublicKeyCommand(Context &context, const Args &args) {
  if (context.api.export_public_key == nullptr) return Missing("OB_ExportPublicKey");
  if (args.count() != 1) return Fail("export-pubkey needs a key name (container\\03 ...)");
  std::string name = args.at(0);
  DataBlob key_name{static_cast<uint32_t>(name.size()), reinterpret_cast<uint8_t *>(name.data())};
  std::vector<uint8_t> blob(OB_PUBLIC_KEY_BLOB_LEN);
  DataBlob record{static_cast<uint32_t>(blob.size()), blob.data()};
  int32_t status = context.api.export_public_key(&key_name, &record);
  if (status != OB_OK) return Report("export-pubkey", status);
  blob.resize(record.cbData);
  if (args.Has("pem")) {
    std::string pem;
    if (!PublicBlobToPem(blob, &pem)) return Fail("the exported blob is no RSA public key");
    if (!WriteFile(args.Get("pem"), reinterpret_cast<const uint8_t *>(pem.data()), pem.size())) {
      return 1;
    }
  }
  return Emit(args, blob.data(), blob.size());
}

int ImportKeyCommand(Context &context, const Args &args) {
  if (context.api.import_private_key == nullptr) return Missing("OB_ImportPrivateKey");
  uint32_t key_type = KeyTypeOption(args);
  if (args.count() != 1 || key_type == 0) return Fail("import-key needs a PEM file and --type");
  std::vector<uint8_t> pem, blob;
  if (!ReadFile(args.at(0), &pem)) return 1;
  bool converted = PemToPrivateBlob(pem, &blob);
  OPENSSL_cleanse(pem.data(), pem.size());
  if (!converted) return Fail(args.at(0) + " holds no RSA private key");
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  DataBlob record{static_cast<uint32_t>(blob.size()), blob.data()};
  int handle = 0;
  int32_t status = context.api.import_private_key(&handle, &record, key_type, 0, 0);
  OPENSSL_cleanse(blob.data(), blob.size());
  return Report("import-key", status);
}

}  // namespace

void AddKeyCommands(std::vector<Command> *table) {
  table->push_back({"create-container", "NAME",
                    "create (or open) a container; NAME holds SIG or ENC", CreateContainerCommand});
  table->push_back(
      {"key-names", "CONTAINER", "show the four key names of a container", KeyNamesCommand});
  table->push_back({"genkey", "CONTAINER --type sig|enc [--pin PIN]",
                    "generate an RSA key pair in a container", GenerateKeyCommand});
  table->push_back({"random", "COUNT [--out FILE]", "random bytes from the token", RandomCommand});
  table->push_back({"sign", "FILE [--digest sha1] [--out SIG] [--pin PIN]",
                    "sign with the signature key (the file, or its SHA-1 DigestInfo)",
                    SignCommand});
  table->push_back({"verify", "FILE SIG [--digest sha1]",
                    "check a signature with the signature key", VerifyCommand});
  table->push_back(
      {"encrypt", "FILE [--out OUT]", "encrypt with the exchange key", EncryptCommand});
  table->push_back({"decrypt", "FILE [--key enc|sig] [--out OUT] [--pin PIN]",
                    "decrypt with a token key", DecryptCommand});
  table->push_back({"export-pubkey", "KEYNAME [--out BLOB] [--pem PEM]",
                    "export a public key (148-byte blob, and PEM)", ExportPublicKeyCommand});
  table->push_back({"import-key", "PEM --type sig|enc [--pin PIN]",
                    "import an RSA private key into the token", ImportKeyCommand});
}

}  // namespace obkeyctl

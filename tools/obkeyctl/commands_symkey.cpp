// Software symmetric keys and digests. Keys live in files as raw key bytes.
#include <openssl/crypto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/obkeyctl/cli.h"
#include "tools/obkeyctl/rsa_blobs.h"

namespace obkeyctl {
namespace {

constexpr uint32_t kTripleDesKeyBuffer = 24;

// --alg 3des|rc4 (default 3des); 0 when it is neither.
uint32_t CipherOption(const Args &args) {
  std::string alg = args.Get("alg", "3des");
  if (alg == "3des") return CALG_3DES;
  if (alg == "rc4") return CALG_RC4;
  return 0;
}

// --mode cbc|ecb|ofb|cfb (default cbc); 0 when it is none of them.
uint32_t ModeOption(const Args &args) {
  std::string mode = args.Get("mode", "cbc");
  if (mode == "cbc") return CRYPT_MODE_CBC;
  if (mode == "ecb") return CRYPT_MODE_ECB;
  if (mode == "ofb") return CRYPT_MODE_OFB;
  if (mode == "cfb") return CRYPT_MODE_CFB;
  return 0;
}

// A key file's bytes are wiped from memory however the command ends.
struct KeyBytes {
  std::vector<uint8_t> bytes;
  ~KeyBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

int SymkeyGenCommand(Context &context, const Args &args) {
  if (context.api.generate_symmetric_key == nullptr) return Missing("OB_GenSymmetricKey");
  uint32_t alg = CipherOption(args);
  uint32_t len = 0;
  if (alg == 0 || !args.GetNumber("len", alg == CALG_3DES ? 24 : 16, &len) || len == 0 ||
      (alg == CALG_3DES && len != 16 && len != 24) || !args.Has("out")) {
    return Fail("symkey gen needs --alg 3des|rc4, --out, and --len 16|24 (3des) or N (rc4)");
  }
  KeyBytes key;
  // Triple-DES generation always fills 24 bytes; cbData says how many count.
  key.bytes.assign(alg == CALG_3DES ? kTripleDesKeyBuffer : len, 0);
  DataBlob record{len, key.bytes.data()};
  int32_t status = context.api.generate_symmetric_key(alg, &record, 0);
  if (status != OB_OK) return Report("symkey gen", status);
  return WriteFile(args.Get("out"), key.bytes.data(), len) ? 0 : 1;
}

int SymkeyImportCommand(Context &context, const Args &args) {
  if (context.api.import_symmetric_key == nullptr) return Missing("OB_ImportSymmetricKey");
  uint32_t alg = CipherOption(args);
  if (args.count() != 1 || alg == 0 || !args.Has("out")) {
    return Fail("symkey import needs a blob file, --alg and --out");
  }
  std::vector<uint8_t> blob;
  if (!ReadFile(args.at(0), &blob)) return 1;
  DataBlob blob_record{static_cast<uint32_t>(blob.size()), blob.data()};
  DataBlob key_record{0, nullptr};
  int32_t status = context.api.import_symmetric_key(&blob_record, alg, &key_record);
  if (status != OB_OK) return Report("symkey import", status);
  KeyBytes key;
  key.bytes.assign(key_record.cbData, 0);
  key_record.pbData = key.bytes.data();
  status = context.api.import_symmetric_key(&blob_record, alg, &key_record);
  if (status != OB_OK) return Report("symkey import", status);
  return WriteFile(args.Get("out"), key.bytes.data(), key.bytes.size()) ? 0 : 1;
}

// The wrapping key of an export: a token key name, an RsaPublicKey record
// made from a PEM file, or none.
bool WrappingKey(const Args &args, std::vector<uint8_t> *out_bytes, bool *out_present) {
  *out_present = true;
  if (args.Has("wrap-token")) {
    std::string name = args.Get("wrap-token");
    out_bytes->assign(name.begin(), name.end());
    out_bytes->push_back(0);
    return true;
  }
  if (args.Has("wrap-pem")) {
    std::vector<uint8_t> pem;
    return ReadFile(args.Get("wrap-pem"), &pem) && PemToRsaPublicKeyRecord(pem, out_bytes);
  }
  *out_present = false;
  return true;
}

int SymkeyExportCommand(Context &context, const Args &args) {
  if (context.api.export_symmetric_key == nullptr) return Missing("OB_ExportSymmetricKey");
  uint32_t alg = CipherOption(args);
  if (args.count() != 1 || alg == 0) return Fail("symkey export needs a key file and --alg");
  KeyBytes key;
  std::vector<uint8_t> wrap;
  bool wrapped = false;
  if (!ReadFile(args.at(0), &key.bytes)) return 1;
  if (!WrappingKey(args, &wrap, &wrapped)) return Fail("no usable RSA public key to wrap with");
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  DataBlob key_record{static_cast<uint32_t>(key.bytes.size()), key.bytes.data()};
  DataBlob wrap_record{static_cast<uint32_t>(wrap.size()), wrap.data()};
  DataBlob blob_record{0, nullptr};
  const DataBlob *wrapping = wrapped ? &wrap_record : nullptr;
  int32_t status = context.api.export_symmetric_key(&key_record, wrapping, &blob_record, alg);
  if (status != OB_OK) return Report("symkey export", status);
  std::vector<uint8_t> blob(blob_record.cbData);
  blob_record.pbData = blob.data();
  status = context.api.export_symmetric_key(&key_record, wrapping, &blob_record, alg);
  if (status != OB_OK) return Report("symkey export", status);
  return Emit(args, blob.data(), blob_record.cbData);
}

int SymkeyCrypt(Context &context, const Args &args, bool encrypt) {
  auto call = encrypt ? context.api.symmetric_encrypt : context.api.symmetric_decrypt;
  if (call == nullptr) return Missing(encrypt ? "OB_SymmetricEncrypt" : "OB_SymmetryDecrypt");
  uint32_t alg = CipherOption(args), mode = ModeOption(args);
  if (args.count() != 2 || alg == 0 || mode == 0) {
    return Fail("symkey encrypt/decrypt needs a key file, a data file, --alg and --mode");
  }
  KeyBytes key;
  std::vector<uint8_t> in;
  if (!ReadFile(args.at(0), &key.bytes) || !ReadFile(args.at(1), &in)) return 1;
  DataBlob key_record{static_cast<uint32_t>(key.bytes.size()), key.bytes.data()};
  std::vector<uint8_t> out(in.size());
  uint32_t out_len = static_cast<uint32_t>(out.size());
  int32_t status = call(&key_record, 0, 0, in.data(), static_cast<uint32_t>(in.size()), out.data(),
                        &out_len, alg, mode);
  if (status != OB_OK) return Report(encrypt ? "symkey encrypt" : "symkey decrypt", status);
  return Emit(args, out.data(), in.size());
}

int SymkeyEncryptCommand(Context &context, const Args &args) {
  return SymkeyCrypt(context, args, true);
}

int SymkeyDecryptCommand(Context &context, const Args &args) {
  return SymkeyCrypt(context, args, false);
}

int DigestCommand(Context &context, const Args &args) {
  if (context.api.digest == nullptr) return Missing("OB_Digest");
  std::string alg_name = args.Get("alg", "sha1");
  uint32_t alg = alg_name == "md5" ? CALG_MD5 : alg_name == "sha1" ? CALG_SHA1 : 0;
  if (args.count() != 1 || alg == 0) return Fail("digest needs a file and --alg md5|sha1");
  std::vector<uint8_t> data;
  if (!ReadFile(args.at(0), &data)) return 1;
  uint8_t digest[20] = {};
  uint32_t digest_len = sizeof(digest);
  int32_t status =
      context.api.digest(digest, &digest_len, data.data(), static_cast<uint32_t>(data.size()), alg);
  if (status != OB_OK) return Report("digest", status);
  return Emit(args, digest, digest_len);
}

}  // namespace

void AddSymmetricKeyCommands(std::vector<Command> *table) {
  table->push_back({"symkey gen", "--alg 3des|rc4 [--len N] --out KEY",
                    "make a key from the token's random numbers", SymkeyGenCommand});
  table->push_back({"symkey import", "BLOB --alg 3des|rc4 --out KEY",
                    "take a key out of a plain key blob", SymkeyImportCommand});
  table->push_back({"symkey export",
                    "KEY --alg 3des|rc4 [--wrap-token KEYNAME | --wrap-pem PUB.pem] [--out BLOB]",
                    "write a key blob: plain, wrapped by the token's exchange key, or by a "
                    "public key",
                    SymkeyExportCommand});
  table->push_back({"symkey encrypt", "KEY FILE --alg 3des|rc4 [--mode cbc|ecb|ofb|cfb] [--out F]",
                    "encrypt in software (zero vector, no padding)", SymkeyEncryptCommand});
  table->push_back({"symkey decrypt", "KEY FILE --alg 3des|rc4 [--mode cbc|ecb|ofb|cfb] [--out F]",
                    "decrypt in software", SymkeyDecryptCommand});
  table->push_back(
      {"digest", "FILE [--alg md5|sha1] [--out FILE]", "MD5 or SHA-1 of a file", DigestCommand});
}

}  // namespace obkeyctl

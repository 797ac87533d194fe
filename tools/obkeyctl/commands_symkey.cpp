// Software symmetric keys and digests. Keys live in files as raw key bytes.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "rsa_blobs.h"
#include "wiping_allocator.h"

namespace obkeyctl {
namespace {

constexpr uint32_t kTripleDesKeyBuffer = 24;
constexpr uint32_t kRc4KeyMax = 256;

uint32_t Cipher(const Args &args) {
  return args.Get("alg", "3des") == "rc4" ? CALG_RC4 : CALG_3DES;
}

uint32_t Mode(const Args &args) {
  std::string mode = args.Get("mode", "cbc");
  if (mode == "ecb") return CRYPT_MODE_ECB;
  if (mode == "ofb") return CRYPT_MODE_OFB;
  if (mode == "cfb") return CRYPT_MODE_CFB;
  return CRYPT_MODE_CBC;
}

void CheckKeyLength(const Args &args, uint32_t alg, size_t len, const std::string &what) {
  if (alg == CALG_3DES && len != 16 && len != 24) {
    Failure(what + " holds " + std::to_string(len) + " bytes; a triple-DES key is 16 or 24",
            {{"the key file is not a raw triple-DES key", "make one with obkeyctl symkey gen"}});
  }
  if (alg == CALG_RC4 && (len == 0 || len > kRc4KeyMax)) {
    Failure(what + " holds " + std::to_string(len) + " bytes; an RC4 key is 1 to 256");
  }
  (void)args;
}

int SymkeyGenCommand(Context &context, const Args &args) {
  uint32_t alg = Cipher(args);
  uint32_t len = args.Number("len", alg == CALG_3DES ? 24 : 16);
  if (alg == CALG_3DES && len != 16 && len != 24) {
    UsageError("--len " + std::to_string(len) + ": a triple-DES key is 16 or 24 bytes");
  }
  if (alg == CALG_RC4 && (len == 0 || len > kRc4KeyMax)) {
    UsageError("--len " + std::to_string(len) + ": an RC4 key is 1 to 256 bytes");
  }
  auto generate = Require(context.api().generate_symmetric_key, "OB_GenSymmetricKey");
  context.BeforeTokenCall(false);
  // Triple-DES generation always fills 24 bytes; cbData says how many count.
  obkey::SecretBytes key(alg == CALG_3DES ? kTripleDesKeyBuffer : len);
  DataBlob record{len, key.data()};
  context.Check("symkey gen",
                context.Call("OB_GenSymmetricKey", [&] { return generate(alg, &record, 0); }));
  Emit(args, key.data(), len, true);
  return kExitOk;
}

int SymkeyImportCommand(Context &context, const Args &args) {
  uint32_t alg = Cipher(args);
  obkey::SecretBytes blob = ReadSecretInput(args.at(0));
  auto import_key = Require(context.api().import_symmetric_key, "OB_ImportSymmetricKey");
  DataBlob blob_record{static_cast<uint32_t>(blob.size()), blob.data()};
  DataBlob key_record{0, nullptr};
  auto explain = [&](int32_t) {
    return std::vector<Finding>{
        {"obkey takes a plain key blob (12-byte header, then the key) of the algorithm given "
         "with --alg",
         "check --alg and that the blob was exported without --wrap-token or --wrap-pub"}};
  };
  context.Check("symkey import",
                context.Call("OB_ImportSymmetricKey",
                             [&] { return import_key(&blob_record, alg, &key_record); }),
                explain);
  obkey::SecretBytes key(key_record.cbData);
  key_record.pbData = key.data();
  context.Check("symkey import",
                context.Call("OB_ImportSymmetricKey",
                             [&] { return import_key(&blob_record, alg, &key_record); }),
                explain);
  Emit(args, key.data(), key.size(), true);
  return kExitOk;
}

int SymkeyExportCommand(Context &context, const Args &args) {
  uint32_t alg = Cipher(args);
  if (args.Has("wrap-token") && args.Has("wrap-pub")) {
    UsageError("give --wrap-token or --wrap-pub, not both");
  }
  obkey::SecretBytes key = ReadSecretInput(args.at(0));
  CheckKeyLength(args, alg, key.size(), args.at(0));
  std::vector<uint8_t> wrap;
  bool wrapped = true;
  if (args.Has("wrap-token")) {
    std::string name = args.Get("wrap-token");
    wrap.assign(name.begin(), name.end());
    wrap.push_back(0);
  } else if (args.Has("wrap-pub")) {
    std::vector<uint8_t> file = ReadInput(args.Get("wrap-pub"));
    if (!PublicKeyToRsaPublicKeyRecord(file, args.Get("inform"), &wrap)) {
      Failure(args.Get("wrap-pub") +
              " holds no RSA public key or certificate of at most 2048 "
              "bits" +
              (args.Has("inform") ? " in " + args.Get("inform") + " form" : ""));
    }
  } else {
    wrapped = false;
  }
  auto export_key = Require(context.api().export_symmetric_key, "OB_ExportSymmetricKey");
  if (args.Has("wrap-token")) context.BeforeTokenCall(false);
  DataBlob key_record{static_cast<uint32_t>(key.size()), key.data()};
  DataBlob wrap_record{static_cast<uint32_t>(wrap.size()), wrap.data()};
  DataBlob blob_record{0, nullptr};
  const DataBlob *wrapping = wrapped ? &wrap_record : nullptr;
  auto explain = [&](int32_t failed) {
    std::vector<Finding> findings;
    if (failed == OB_E_ARGUMENT && args.Has("wrap-token")) {
      findings.push_back(
          {"the token's exchange key could not wrap the key (no exchange key "
           "pair, or the key name " +
               args.Get("wrap-token") + " is not an exchange key name)",
           "make one with obkeyctl genkey NAME_ENC --type enc and give "
           "'NAME_ENC\\01'"});
    }
    return findings;
  };
  context.Check("symkey export",
                context.Call("OB_ExportSymmetricKey",
                             [&] { return export_key(&key_record, wrapping, &blob_record, alg); }),
                explain);
  obkey::SecretBytes blob(blob_record.cbData);
  blob_record.pbData = blob.data();
  context.Check("symkey export",
                context.Call("OB_ExportSymmetricKey",
                             [&] { return export_key(&key_record, wrapping, &blob_record, alg); }),
                explain);
  // A blob that is not wrapped holds the key in the clear.
  Emit(args, blob.data(), blob_record.cbData, !wrapped);
  return kExitOk;
}

int SymkeyCrypt(Context &context, const Args &args, bool encrypt) {
  uint32_t alg = Cipher(args), mode = Mode(args);
  if (alg == CALG_RC4 && args.Has("mode")) UsageError("--mode applies to 3des only, not rc4");
  obkey::SecretBytes key = ReadSecretInput(args.at(0));
  CheckKeyLength(args, alg, key.size(), args.at(0));
  // Plain text on the way in (encrypt) or out (decrypt) is as secret as the
  // key.
  obkey::SecretBytes in = ReadSecretInput(args.count() > 1 ? args.at(1) : "-");
  const ObkeyApi &api = context.api();
  auto call = Require(encrypt ? api.symmetric_encrypt : api.symmetric_decrypt,
                      encrypt ? "OB_SymmetricEncrypt" : "OB_SymmetryDecrypt");
  const std::string what = encrypt ? "symkey encrypt" : "symkey decrypt";
  DataBlob key_record{static_cast<uint32_t>(key.size()), key.data()};
  obkey::SecretBytes out(in.size());
  uint32_t out_len = static_cast<uint32_t>(out.size());
  int32_t status = context.Call(encrypt ? "OB_SymmetricEncrypt" : "OB_SymmetryDecrypt", [&] {
    return call(&key_record, 0, 0, in.data(), static_cast<uint32_t>(in.size()), out.data(),
                &out_len, alg, mode);
  });
  context.Check(what, status, [&](int32_t failed) {
    std::vector<Finding> findings;
    if (failed == CIPHER_E_LENGTH) {
      findings.push_back({"the data is " + std::to_string(in.size()) +
                              " bytes; ECB and CBC work on whole 8-byte blocks and obkey does "
                              "not pad",
                          "pad the data to a multiple of 8 bytes, or use --mode ofb or cfb"});
    }
    if (failed == CIPHER_E_KEY) {
      findings.push_back({"a part of the key in " + args.at(0) + " is a weak or semi-weak DES key",
                          "make a new key: obkeyctl symkey gen --out KEY"});
    }
    return findings;
  });
  // Decrypted data is as secret as the key that protected it.
  Emit(args, out.data(), in.size(), !encrypt);
  return kExitOk;
}

int SymkeyEncryptCommand(Context &context, const Args &args) {
  return SymkeyCrypt(context, args, true);
}

int SymkeyDecryptCommand(Context &context, const Args &args) {
  return SymkeyCrypt(context, args, false);
}

int DigestCommand(Context &context, const Args &args) {
  uint32_t alg = args.Get("alg", "sha1") == "md5" ? CALG_MD5 : CALG_SHA1;
  std::vector<uint8_t> data = ReadInput(args.count() > 0 ? args.at(0) : "-");
  auto digest = Require(context.api().digest, "OB_Digest");
  uint8_t value[20] = {};
  uint32_t value_len = sizeof(value);
  context.Check("digest", context.Call("OB_Digest", [&] {
    return digest(value, &value_len, data.data(), static_cast<uint32_t>(data.size()), alg);
  }));
  Emit(args, value, value_len, false);
  return kExitOk;
}

}  // namespace

void AddSymmetricKeyCommands(std::vector<Command> *table) {
  table->push_back({"symkey gen", "", "alg=3des|rc4 len= @out",
                    "make a key from the token's random numbers",
                    "The key is secret: files are written with mode 0600.\n"
                    "\nexamples:\n"
                    "  obkeyctl symkey gen --out session.key\n"
                    "  obkeyctl symkey gen --alg rc4 --len 16 --out rc4.key\n",
                    SymkeyGenCommand});
  table->push_back({"symkey import", "BLOB", "alg=3des|rc4 @out",
                    "take a key out of a plain key blob",
                    "\nexample:\n  obkeyctl symkey import session.blob --out session.key\n",
                    SymkeyImportCommand});
  table->push_back({"symkey export", "KEY",
                    "alg=3des|rc4 wrap-token= wrap-pub= inform=pem|der @out",
                    "write a key blob: plain, or wrapped by a token key or a public key",
                    "Without --wrap-token or --wrap-pub the blob holds the key in the clear and\n"
                    "is written with mode 0600. --inform is the form of the --wrap-pub file.\n"
                    "\nexamples:\n"
                    "  obkeyctl symkey export session.key --wrap-token 'MY_ENC\\01' --out "
                    "session.blob\n"
                    "  obkeyctl symkey export session.key --wrap-pub peer.pem --out session.blob\n",
                    SymkeyExportCommand});
  table->push_back({"symkey encrypt", "KEY [FILE]", "alg=3des|rc4 mode=cbc|ecb|ofb|cfb @out",
                    "encrypt in software (zero IV, no padding)",
                    "FILE or standard input; ECB and CBC need a multiple of 8 bytes.\n"
                    "\nexamples:\n"
                    "  obkeyctl symkey encrypt session.key secret.bin --out secret.enc\n"
                    "  tar c docs | obkeyctl symkey encrypt session.key --mode ofb > docs.enc\n",
                    SymkeyEncryptCommand});
  table->push_back({"symkey decrypt", "KEY [FILE]", "alg=3des|rc4 mode=cbc|ecb|ofb|cfb @out",
                    "decrypt in software",
                    "The result is written with mode 0600.\n"
                    "\nexample:\n  obkeyctl symkey decrypt session.key secret.enc --out "
                    "secret.bin\n",
                    SymkeyDecryptCommand});
  table->push_back({"digest", "[FILE]", "alg=md5|sha1 @out", "MD5 or SHA-1 of a file",
                    "\nexamples:\n"
                    "  obkeyctl digest message.txt --hex\n"
                    "  echo -n abc | obkeyctl digest --alg md5 --hex\n",
                    DigestCommand});
}

}  // namespace obkeyctl

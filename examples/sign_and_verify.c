/* sign_and_verify.c — a signature with obkey from C, worked through.
 *
 * Signs FILE with the token's signature key as `openssl dgst -sha256 -sign` would with the same
 * key (RSA, PKCS #1 v1.5, SHA-256), checks the signature with the token's public-key operation,
 * and writes the signature and the public key so that anyone can check it:
 *
 *   obkeyctl genkey MY_SIG --type sig            (once: the token's signature key pair)
 *   sign_and_verify MY_SIG FILE OUT < pin.txt    (the user PIN on the first line)
 *   openssl rsa -pubin -inform MSBLOB -in OUT.pub.blob -out signer.pem
 *   openssl dgst -sha256 -verify signer.pem -signature OUT.sig FILE
 *
 * Build: cc sign_and_verify.c $(pkg-config --cflags --libs obkey libcrypto)
 * (OpenSSL only computes the SHA-256 digest; any SHA-256 serves.) */
#include <obkey/obkey.h>
#include <obkey/obkey_status.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>

/* What PKCS #1 v1.5 signs for SHA-256: the DER DigestInfo, i.e. this prefix (the algorithm's
 * identifier, RFC 8017 section 9.2) followed by the 32-byte digest. The token adds the padding
 * (00 01 FF .. FF 00) itself and never hashes: the caller hands it the DigestInfo. */
static const uint8_t kSha256Prefix[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                          0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                          0x01, 0x05, 0x00, 0x04, 0x20};
enum { kDigestInfoLen = 19 + 32, kMaxFile = 1 << 20 };

static int Failed(const char *what, int32_t status) {
  const char *name = obkey_status_name(status);
  fprintf(stderr, "sign_and_verify: %s: %s (%d): %s\n", what, name ? name : "a status", (int)status,
          name ? obkey_status_text(status) : "of another token library");
  return 1;
}

static int WriteBytes(const char *prefix, const char *suffix, const uint8_t *bytes, size_t len) {
  char path[4096];
  FILE *file;
  size_t written;
  snprintf(path, sizeof(path), "%s%s", prefix, suffix);
  file = fopen(path, "wb");
  if (file == NULL) return 0;
  written = fwrite(bytes, 1, len, file);
  return fclose(file) == 0 && written == len;
}

/* ReadPin reads the first line of standard input, without its line end. */
static int ReadPin(char *pin, size_t capacity) {
  if (fgets(pin, (int)capacity, stdin) == NULL) return 0;
  pin[strcspn(pin, "\r\n")] = '\0';
  return pin[0] != '\0';
}

int main(int argc, char **argv) {
  static uint8_t file_bytes[kMaxFile];
  uint8_t info[kDigestInfoLen], signature[OB_RSA_BLOCK_LEN], block[OB_RSA_BLOCK_LEN];
  uint8_t blob[OB_PUBLIC_KEY_BLOB_LEN];
  char pin[128], key_name[64];
  unsigned int digest_len = 0;
  uint32_t signature_len = sizeof(signature), block_len = sizeof(block);
  DataBlob name_record, blob_record;
  size_t file_len;
  FILE *file;
  int32_t status;

  if (argc != 4 || strlen(argv[1]) > 47) {
    fprintf(stderr, "usage: sign_and_verify CONTAINER FILE OUT_PREFIX < pin.txt\n");
    return 2;
  }
  file = fopen(argv[2], "rb");
  if (file == NULL) return Failed("cannot open FILE", OB_E_ARGUMENT);
  file_len = fread(file_bytes, 1, sizeof(file_bytes), file);
  fclose(file);

  /* 1. The DigestInfo of the file's SHA-256 digest. */
  memcpy(info, kSha256Prefix, sizeof(kSha256Prefix));
  if (EVP_Digest(file_bytes, file_len, info + sizeof(kSha256Prefix), &digest_len, EVP_sha256(),
                 NULL) != 1 ||
      digest_len != 32) {
    return Failed("SHA-256", OB_E_ARGUMENT);
  }

  /* 2. The user PIN, checked once: the token remembers it for this process. */
  if (!ReadPin(pin, sizeof(pin))) return Failed("no PIN on standard input", OB_E_ARGUMENT);
  status = OBCA_Login(1, pin);
  memset(pin, 0, sizeof(pin));
  if (status != OB_OK) return Failed("login", status);

  /* 3. The signature: 128 bytes, the buffer must hold them (the length is output only). */
  status = OB_AsymmetricSignData(NULL, info, sizeof(info), signature, &signature_len, 0);
  if (status != OB_OK) return Failed("sign", status);

  /* 4. The token's public-key operation gives back what was signed, its padding removed. It uses
   * the public key stored on the token: it needs no PIN, and it proves the signature against
   * that stored key only. */
  status = OB_AsymmetricVerifySign(NULL, block, &block_len, signature, signature_len, 0);
  if (status != OB_OK) return Failed("verify", status);
  if (block_len != sizeof(info) || memcmp(block, info, sizeof(info)) != 0) {
    fprintf(stderr, "sign_and_verify: the signature does not give back the DigestInfo\n");
    return 1;
  }

  /* 5. The public key, as a CryptoAPI public-key blob, for checks away from the token. */
  snprintf(key_name, sizeof(key_name), "%s\\03", argv[1]);
  name_record.cbData = (uint32_t)strlen(key_name);
  name_record.pbData = (uint8_t *)key_name;
  blob_record.cbData = sizeof(blob);
  blob_record.pbData = blob;
  status = OB_ExportPublicKey(&name_record, &blob_record);
  if (status != OB_OK) return Failed("public key", status);
  if (!WriteBytes(argv[3], ".sig", signature, signature_len) ||
      !WriteBytes(argv[3], ".pub.blob", blob, blob_record.cbData)) {
    fprintf(stderr, "sign_and_verify: cannot write %s.sig or %s.pub.blob\n", argv[3], argv[3]);
    return 1;
  }
  printf("sign_and_verify: signed %s (%u bytes, SHA-256) and checked it on the token\n", argv[2],
         (unsigned)file_len);
  return 0;
}

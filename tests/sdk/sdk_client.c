/* A Linux client built from the installed tree only (pkg-config or
 * find_package). It formats device 0 of the configured software token, logs
 * in with the default PIN, makes a signature pair, signs the SHA-1 digest
 * information of a message, and writes the message, the signature and the
 * public-key blob into OUT_DIR for openssl to check:
 *   sdk_client OUT_DIR */
#include <obkey/obkey.h>
#include <obkey/obkey_status.h>
#include <stdio.h>
#include <string.h>

static int WriteFile(const char *dir, const char *name, const void *data, size_t len) {
  char path[4096];
  FILE *file;
  size_t written;
  snprintf(path, sizeof(path), "%s/%s", dir, name);
  file = fopen(path, "wb");
  if (file == NULL) return 0;
  written = fwrite(data, 1, len, file);
  return fclose(file) == 0 && written == len;
}

static int Fail(const char *what, int32_t status) {
  const char *name = obkey_status_name(status);
  fprintf(stderr, "sdk_client: %s: %s (%d): %s\n", what, name != NULL ? name : "status",
          (int)status, name != NULL ? obkey_status_text(status) : "");
  return 1;
}

int main(int argc, char **argv) {
  static const uint8_t kSha1Prefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                          0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  static const char kMessage[] = "signed by a client of the installed obkey\n";
  uint8_t info[35], signature[128], name1[64], name2[64], blob[OB_PUBLIC_KEY_BLOB_LEN];
  char key_name[] = "SDK_SIG\\03";
  DataBlob record1 = {0, name1}, record2 = {0, name2};
  DataBlob name_record = {sizeof(key_name) - 1, (uint8_t *)key_name};
  DataBlob blob_record = {sizeof(blob), blob};
  uint32_t len = 20;
  int32_t status;

  if (argc != 2) {
    fprintf(stderr, "usage: sdk_client OUT_DIR\n");
    return 2;
  }
  printf("sdk_client: obkey %s\n", OBKEY_VERSION_STRING);
  if (strcmp(obkey_status_name(OB_E_NO_SESSION), "OB_E_NO_SESSION") != 0) {
    return Fail("the installed status table", OB_E_NO_SESSION);
  }
  if ((status = OBCA_Format(0, 0)) != OB_OK) return Fail("format", status);
  if ((status = OBCA_Login(1, "12345678")) != OB_OK) return Fail("login", status);
  status = OB_GenAsymmetricKey("SDK_SIG", &record1, &record2, 0, 0, OB_KEY_TYPE_SIGNATURE);
  if (status != OB_OK) return Fail("key pair", status);
  memcpy(info, kSha1Prefix, sizeof(kSha1Prefix));
  status = OB_Digest(info + 15, &len, (const uint8_t *)kMessage, sizeof(kMessage) - 1, CALG_SHA1);
  if (status != OB_OK || len != 20) return Fail("digest", status);
  len = 0;
  status = OB_AsymmetricSignData(NULL, info, sizeof(info), signature, &len, 0);
  if (status != OB_OK || len != sizeof(signature)) return Fail("sign", status);
  status = OB_ExportPublicKey(&name_record, &blob_record);
  if (status != OB_OK) return Fail("public key", status);
  if (!WriteFile(argv[1], "message", kMessage, sizeof(kMessage) - 1) ||
      !WriteFile(argv[1], "signature", signature, sizeof(signature)) ||
      !WriteFile(argv[1], "public.blob", blob, blob_record.cbData)) {
    return Fail("writing the results", -1);
  }
  printf("sdk_client: signed\n");
  return 0;
}

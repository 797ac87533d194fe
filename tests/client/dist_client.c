/* A client as an integrator writes one: it includes only the public header,
 * links against obkey's import library and kernel32, and needs no C runtime,
 * so MinGW's ld and Microsoft's linker (lld-link) can both link it:
 *   i686-w64-mingw32-gcc -ffreestanding -nostdlib -Iinclude dist_client.c
 *       -Llib -lobkey -lkernel32 -Wl,-e,_ClientMain -o client.exe
 *   lld-link /entry:ClientMain /nodefaultlib dist_client.obj lib/obkey.lib kernel32.lib
 * It formats the token of device 0 (the configuration must name it), logs in
 * with the default PIN, makes a signature pair, signs the SHA-1 digest
 * information of a message, checks the signature with the public-key
 * operation, names a status from the shipped status header and prints
 * "client: N passed, M failed". */
#include "obkey.h"
#include "obkey_status.h"

static HANDLE g_out;
static int g_passed, g_failed;

static void Print(const char *text) {
  DWORD written = 0;
  WriteFile(g_out, text, (DWORD)lstrlenA(text), &written, NULL);
}

static void PrintNumber(int value) {
  char digits[12];
  int i = (int)sizeof(digits) - 1;
  unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
  digits[i] = 0;
  do {
    digits[--i] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[--i] = '-';
  Print(digits + i);
}

static void Check(int ok, const char *what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    Print("FAILED: ");
    Print(what);
    Print("\n");
  }
}

static int Same(const uint8_t *a, const uint8_t *b, uint32_t len) {
  uint32_t i;
  for (i = 0; i < len; ++i) {
    if (a[i] != b[i]) return 0;
  }
  return 1;
}

static int SameText(const char *a, const char *b) {
  if (a == NULL) return 0;
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

void ClientMain(void) {
  static const uint8_t kSha1Abc[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                       0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
  static const uint8_t kSha1Prefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                          0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  static uint8_t info[35], signature[128], block[128], name1[64], name2[64];
  DataBlob record1, record2;
  uint32_t len, i;
  int32_t status;

  g_out = GetStdHandle(STD_OUTPUT_HANDLE);
  Print("client: obkey " OBKEY_VERSION_STRING "\n");

  Check(OBCA_Format(0, 0) == OB_OK, "format device 0");
  Check(OBCA_Login(1, "12345678") == OB_OK, "login with the default PIN");
  record1.cbData = 0;
  record1.pbData = name1;
  record2.cbData = 0;
  record2.pbData = name2;
  Check(OB_GenAsymmetricKey("CLIENT_SIG", &record1, &record2, 0, 0, OB_KEY_TYPE_SIGNATURE) == OB_OK,
        "signature pair generated");

  Check(SameText(obkey_status_name(OB_E_NO_SESSION), "OB_E_NO_SESSION") &&
            obkey_status_text(XCST_PIN_LOCKED) != NULL,
        "status names and texts from the shipped header");

  len = 20;
  status = OB_Digest(info + 15, &len, (const uint8_t *)"abc", 3, CALG_SHA1);
  Check(status == OB_OK && len == 20 && Same(info + 15, kSha1Abc, 20), "SHA-1 of abc");
  for (i = 0; i < 15; ++i) info[i] = kSha1Prefix[i];

  len = 0;
  status = OB_AsymmetricSignData(NULL, info, sizeof(info), signature, &len, 0);
  Check(status == OB_OK && len == 128, "token signs");
  len = 0;
  status = OB_AsymmetricVerifySign(NULL, block, &len, signature, sizeof(signature), 0);
  Check(status == OB_OK && len == sizeof(info) && Same(block, info, sizeof(info)),
        "public-key operation gives back the digest information");

  Print("client: ");
  PrintNumber(g_passed);
  Print(" passed, ");
  PrintNumber(g_failed);
  Print(" failed\n");
  ExitProcess(g_failed == 0 ? 0 : 1);
}

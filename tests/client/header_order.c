/* The public headers in a client built with every warning an error, as C and
 * as C++, included before or after the Windows headers that define the
 * CryptoAPI values they share (OBKEY_HEADER_FIRST chooses). */
#if defined(OBKEY_HEADER_FIRST)
#include "obkey.h"
#include "obkey_status.h"
#endif
#if defined(_WIN32)
#include <windows.h>
/* after windows.h */
#include <wincrypt.h>
#endif
#if !defined(OBKEY_HEADER_FIRST)
#include "obkey.h"
#include "obkey_status.h"
#endif

int ObkeyHeaderOrderCheck(void);

int ObkeyHeaderOrderCheck(void) {
  return (int)(CALG_SHA1 + CALG_RSA_SIGN + KP_MODE + CRYPT_MODE_CBC) + OBKEY_VERSION_MAJOR +
         (obkey_status_name(OB_E_NO_SESSION)[0] == 'O') + (obkey_status_text(XCST_PIN_LOCKED) != 0);
}

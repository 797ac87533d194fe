/* obkey_types.h — the types, statuses, selectors and sizes of the obkey interface.
 *
 * obkey.h includes this header and adds the 45 functions; the library's own layers include
 * it alone, so that they share the values of the interface without its functions. */
#ifndef OBKEY_OBKEY_TYPES_H
#define OBKEY_OBKEY_TYPES_H

#include <stdint.h>

/* On Windows the CryptoAPI header defines the CALG_*, KP_* and CRYPT_MODE_*
 * values this header shares with it; it is included first so that a client
 * may include <windows.h> and <wincrypt.h> before or after this header. */
#if defined(_WIN32)
#include <windows.h>
/* <wincrypt.h> needs the types of <windows.h>: keep this order. */
#include <wincrypt.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A byte string or text owned by the caller. */
typedef struct DataBlob {
  uint32_t cbData;
  uint8_t *pbData;
} DataBlob;

/* A certificate reference held by the caller: enumeration writes `number`,
 * export and the property query read it; `tag` is only tested for zero. */
typedef struct CertRef {
  uint32_t number;
  uint32_t tag;
} CertRef;

/* ---- statuses ---- */
#define OB_OK 0
#define OB_E_ARGUMENT (-1)  /* missing, empty or unaccepted argument */
#define OB_E_KEY_IMPORT 1   /* OB_ImportSymmetricKey: record or algorithm refused */
#define OB_PVK_ENABLED 1    /* answer of OB_IsPVKEnabeled */
#define OB_E_NO_SESSION 3   /* the token session cannot be opened */
#define OBCERT_E_PROPERTY 9 /* OBCERT_GetCertProperty: unknown property */
#define OBCERT_E_NO_CERT 10 /* OBCERT_EnumCertInStore: nothing to deliver */
#define OB_NTE_BAD_ALGID ((int32_t)0x80090008u) /* OB_Digest: unknown algorithm */
#define CIPHER_E_KEY ((int32_t)0x86000010u)     /* a DES key part is refused */
#define CIPHER_E_LENGTH ((int32_t)0x86000013u)  /* ECB/CBC length not a multiple of 8 */

/* ---- selectors ----
 * The CryptoAPI values are the ones <wincrypt.h> defines; either definition serves. */
#define OB_KEY_TYPE_EXCHANGE 1u  /* key type: exchange (encryption) pair */
#define OB_KEY_TYPE_SIGNATURE 2u /* key type: signature pair */
#define OB_SLOT_SIGNATURE 0u     /* container slot of the signature container */
#define OB_SLOT_EXCHANGE 1u      /* container slot of the exchange container */

#ifndef CALG_RSA_SIGN
#define CALG_RSA_SIGN 0x2400u
#endif
#ifndef CALG_RSA_KEYX
#define CALG_RSA_KEYX 0xA400u
#endif
#ifndef CALG_3DES
#define CALG_3DES 0x6603u
#endif
#ifndef CALG_RC4
#define CALG_RC4 0x6801u
#endif
#ifndef CALG_MD2
#define CALG_MD2 0x8001u
#endif
#ifndef CALG_MD5
#define CALG_MD5 0x8003u
#endif
#ifndef CALG_SHA1
#define CALG_SHA1 0x8004u
#endif
#define OB_ALG_KEY_AREA 9u /* accepted algorithm id without a cipher */

#ifndef CRYPT_MODE_CBC
#define CRYPT_MODE_CBC 1u
#endif
#ifndef CRYPT_MODE_ECB
#define CRYPT_MODE_ECB 2u
#endif
#ifndef CRYPT_MODE_OFB
#define CRYPT_MODE_OFB 3u
#endif
#ifndef CRYPT_MODE_CFB
#define CRYPT_MODE_CFB 4u
#endif

/* OB_GetKeyProperty property numbers */
#ifndef KP_PADDING
#define KP_PADDING 3u
#endif
#ifndef KP_MODE
#define KP_MODE 4u
#endif
#ifndef KP_MODE_BITS
#define KP_MODE_BITS 5u
#endif
#ifndef KP_PERMISSIONS
#define KP_PERMISSIONS 6u
#endif
#ifndef KP_ALGID
#define KP_ALGID 7u
#endif
#ifndef KP_BLOCKLEN
#define KP_BLOCKLEN 8u
#endif

/* OBCERT_GetCertProperty property ids */
#define OBCERT_PROP_VENDOR 0u
#define OBCERT_PROP_EMPTY 1u
#define OBCERT_PROP_KEY_SPEC 5u

#define OB_STORE_LABELS 0u     /* store selector of the label directory */
#define OB_LABEL_MAX 18u       /* longest label, in bytes */
#define OB_LABEL_SLOT_SIZE 20u /* one entry of OBCA_ReadLabelList */
#define OB_LABEL_COUNT 10u
#define OB_LABEL_USERCERT_SIG "LAB_USERCERT_SIG"
#define OB_LABEL_USERCERT_ENC "LAB_USERCERT_ENC"

#define OB_RSA_BLOCK_LEN 128u       /* every token RSA block */
#define OB_PUBLIC_KEY_BLOB_LEN 148u /* OB_ExportPublicKey output */
#define OB_KEY_NAME_LEN_REPORTED 151u
#define OB_CERT_SIZE_HINT 2048u
#define OB_KEY_BLOB_HEADER_LEN 12u

#ifdef __cplusplus
}
#endif

#endif /* OBKEY_OBKEY_TYPES_H */

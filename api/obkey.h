/* obkey.h — public interface of the obkey token middleware.
 *
 * Every function returns a 32-bit signed status: 0 for success, one of the
 * OB_* / OBCERT_* / CIPHER_* values below, or a nonzero status of the token
 * library, the formatting library or the enrollment library, passed through
 * unchanged. On 32-bit Windows every export is __stdcall: the callee removes
 * exactly the arguments declared here, so the argument counts are binding. */
#ifndef OBKEY_API_OBKEY_H
#define OBKEY_API_OBKEY_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define OBAPI __stdcall
#else
#define OBAPI
#endif

#if defined(OBKEY_BUILD) && !defined(_WIN32)
#define OBKEY_EXPORT __attribute__((visibility("default")))
#else
#define OBKEY_EXPORT
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

/* ---- login, logout, format, PIN ---- */
OBKEY_EXPORT int32_t OBAPI OBCA_Login(uint32_t user_type, const char *pin);
OBKEY_EXPORT int32_t OBAPI OBCA_Logout(void);
OBKEY_EXPORT int32_t OBAPI OBCA_Format(int32_t device_index, uint32_t ignored);
OBKEY_EXPORT int32_t OBAPI OB_SetPVKEnabelData(uint32_t ignored1, const DataBlob *old_pin,
                                               const DataBlob *new_pin, uint32_t ignored2);
OBKEY_EXPORT int32_t OBAPI OB_EnablePVK(uint32_t ignored1, uint32_t ignored2, uint32_t ignored3);
OBKEY_EXPORT int32_t OBAPI OB_DisabelPVK(uint32_t ignored);
OBKEY_EXPORT int32_t OBAPI OB_IsPVKEnabeled(uint32_t ignored);

/* ---- containers, key pairs, random numbers ---- */
OBKEY_EXPORT int32_t OBAPI OB_CreateContainer(const char *container_name);
OBKEY_EXPORT int32_t OBAPI OB_DestroyContainer(const char *ignored);
OBKEY_EXPORT int32_t OBAPI OB_FindContainerAndKeypair(const char *container_name,
                                                      DataBlob *out_sig_name1,
                                                      DataBlob *out_sig_name2,
                                                      DataBlob *out_exch_name1,
                                                      DataBlob *out_exch_name2);
OBKEY_EXPORT int32_t OBAPI OB_GenAsymmetricKey(const char *container_name, DataBlob *out_key_name1,
                                               DataBlob *out_key_name2, uint32_t ignored1,
                                               uint32_t ignored2, uint32_t key_type);
OBKEY_EXPORT int32_t OBAPI OB_GenRandom(DataBlob *out_random);

/* ---- asymmetric operations ---- */
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricEncrypt(const DataBlob *ignored_key, uint32_t ignored2,
                                                uint32_t ignored3, uint8_t *out,
                                                uint32_t *inout_out_len, const uint8_t *in,
                                                uint32_t in_len, uint32_t alg_id);
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricDecrypt(const DataBlob *ignored_key, uint32_t ignored2,
                                                uint32_t ignored3, uint8_t *out,
                                                uint32_t *inout_out_len, const uint8_t *in,
                                                uint32_t in_len, uint32_t alg_id);
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricSignData(const DataBlob *ignored_key, const uint8_t *data,
                                                 uint32_t data_len, uint8_t *out_signature,
                                                 uint32_t *inout_signature_len, uint32_t ignored6);
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricVerifySign(const DataBlob *ignored_key, uint8_t *out_block,
                                                   uint32_t *inout_block_len,
                                                   const uint8_t *signature, uint32_t signature_len,
                                                   uint32_t ignored6);

/* ---- key import and export ---- */
OBKEY_EXPORT int32_t OBAPI OB_ImportPublicKey(const DataBlob *public_key, uint32_t key_type,
                                              uint32_t ignored);
OBKEY_EXPORT int32_t OBAPI OB_ExportPublicKey(const DataBlob *key_name, DataBlob *out_blob);
OBKEY_EXPORT int32_t OBAPI OB_ImportPrivateKey(const void *handle, const DataBlob *private_key_blob,
                                               uint32_t key_type, uint32_t ignored4,
                                               uint32_t ignored5);
OBKEY_EXPORT int32_t OBAPI OB_ExportPrivateKey(uint32_t ignored1, uint32_t ignored2,
                                               uint32_t ignored3, uint32_t ignored4);

/* ---- certificates ---- */
OBKEY_EXPORT int32_t OBAPI OBCERT_CreateCertStore(const char *ignored);
OBKEY_EXPORT int32_t OBAPI OBCERT_FindCertStore(const char *ignored);
OBKEY_EXPORT int32_t OBAPI OBCERT_DestroyCertStore(const char *ignored);
OBKEY_EXPORT int32_t OBAPI OBCERT_ImportCert(uint32_t ignored1, const DataBlob *cert,
                                             uint32_t ignored3, uint32_t ignored4,
                                             uint32_t ignored5, uint32_t key_type);
OBKEY_EXPORT int32_t OBAPI OBCERT_ExportCert(DataBlob *inout_cert, uint32_t ignored,
                                             const uint32_t *key_type);
OBKEY_EXPORT int32_t OBAPI OBCERT_DestroyCert(const CertRef *ignored);
OBKEY_EXPORT int32_t OBAPI OBCERT_GetCertProperty(const CertRef *cert, uint32_t property_id,
                                                  uint8_t *out, uint32_t *inout_len);
OBKEY_EXPORT int32_t OBAPI OBCERT_SetCertProperty(const CertRef *ignored1, uint32_t ignored2,
                                                  const uint8_t *ignored3, uint32_t ignored4);
OBKEY_EXPORT int32_t OBAPI OBCERT_EnumCertInStore(const char *store_name, uint32_t number,
                                                  CertRef *inout_cert, uint32_t ignored);
OBKEY_EXPORT int32_t OBAPI OBCERT_GetUserCert(uint32_t ignored1, uint32_t ignored2,
                                              uint32_t ignored3);

/* ---- certificate request and installation ---- */
OBKEY_EXPORT int32_t OBAPI OBCERT_CreateP10(uint32_t ignored1, uint32_t ignored2, uint32_t ignored3,
                                            const char *subject, DataBlob *out_request,
                                            uint32_t ignored6);
OBKEY_EXPORT int32_t OBAPI OBCERT_InstallCert(const void *seal_arg2, uint32_t ignored2,
                                              const void *seal_arg1, uint32_t ignored4,
                                              const char *pkcs7, uint32_t ignored6,
                                              const char *xml_answer, uint32_t ignored8);

/* ---- labelled token files ---- */
OBKEY_EXPORT int32_t OBAPI OBCA_ImportFile(const char *label, uint32_t store_selector,
                                           const uint8_t *data, uint32_t data_len);
OBKEY_EXPORT int32_t OBAPI OBCA_ExportFile(const char *label, uint32_t store_selector, uint8_t *out,
                                           uint32_t *inout_len);
OBKEY_EXPORT int32_t OBAPI OBCA_DeleteFile(const char *label, uint32_t store_selector);
OBKEY_EXPORT int32_t OBAPI OBCA_ReadLabelList(uint32_t store_selector, uint8_t *out_list,
                                              uint32_t *out_count);

/* ---- software symmetric keys ---- */
OBKEY_EXPORT int32_t OBAPI OB_GenSymmetricKey(uint32_t alg_id, DataBlob *key, uint32_t ignored);
OBKEY_EXPORT int32_t OBAPI OB_ImportSymmetricKey(const DataBlob *key_blob, uint32_t alg_id,
                                                 DataBlob *out_key);
OBKEY_EXPORT int32_t OBAPI OB_DestroyKey(const DataBlob *ignored);
OBKEY_EXPORT int32_t OBAPI OB_GetKeyProperty(const DataBlob *key_name, uint32_t property,
                                             uint8_t *out, uint32_t *inout_len);
OBKEY_EXPORT int32_t OBAPI OB_GetSupportedAlgId(uint32_t ignored1, uint32_t ignored2);
OBKEY_EXPORT int32_t OBAPI OB_SymmetricEncrypt(DataBlob *key, uint32_t ignored2, uint32_t ignored3,
                                               const uint8_t *in, uint32_t in_len, uint8_t *out,
                                               uint32_t *inout_out_len, uint32_t alg_id,
                                               uint32_t mode);
OBKEY_EXPORT int32_t OBAPI OB_SymmetryDecrypt(DataBlob *key, uint32_t ignored2, uint32_t ignored3,
                                              const uint8_t *in, uint32_t in_len, uint8_t *out,
                                              uint32_t *inout_out_len, uint32_t alg_id,
                                              uint32_t mode);
OBKEY_EXPORT int32_t OBAPI OB_ExportSymmetricKey(const DataBlob *key, const DataBlob *wrapping_key,
                                                 DataBlob *inout_blob, uint32_t alg_id);

/* ---- digests ---- */
OBKEY_EXPORT int32_t OBAPI OB_Digest(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in,
                                     uint32_t in_len, uint32_t alg_id);

#ifdef __cplusplus
}
#endif

#endif /* OBKEY_API_OBKEY_H */

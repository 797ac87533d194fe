/* obkey.h — public interface of the obkey token middleware.
 *
 * obkey gives a program a USB crypto token through 45 functions: PIN login, containers and RSA
 * key pairs on the token, RSA operations with them, the two user certificates, labelled files,
 * certificate requests and installation; and, without the token, software symmetric keys
 * (triple DES, RC4) and MD5/SHA-1 digests. On 32-bit Windows every export is __stdcall: the
 * callee removes exactly the arguments declared here, so the argument counts are binding,
 * ignored arguments included. The DLL exports the undecorated names ("OBCA_Login").
 *
 * 64-bit Windows (x86_64). The same header and the same 45 undecorated names: there is one
 * calling convention there, so OBAPI expands to nothing. Pointers are 64 bits wide and every
 * pointer argument and record field is used whole, wherever the caller's memory lies:
 * DataBlob is 16 bytes, as CRYPT_DATA_BLOB (cbData at offset 0, pbData at offset 8), and
 * the arguments OBCERT_CreateP10 and OBCERT_InstallCert hand to the enrollment library
 * unread are passed at their full width. Statuses, lengths, key types and handles stay 32
 * bits. The one place where a 32-bit build writes an address as a 32-bit number is the
 * diagnostic log: the "PartIn=[...]" field of the OB_AsymmetricEncrypt and
 * OB_AsymmetricDecrypt entries. A 64-bit build (Windows or Linux) writes the low 32 bits of
 * the address there, as the same signed decimal, so the line keeps its layout; the value
 * serves to tell calls apart, not to find the buffer.
 *
 * Statuses. Every function returns a 32-bit signed status: 0 for success, one of the OB_* /
 * OBCERT_* / CIPHER_* values of obkey_types.h, or a nonzero status of the token library
 * (xcsp_eclib), the formatting library (KeyOperation) or the enrollment library
 * (VeltaNxoEnrollApi), passed through unchanged. -1 (OB_E_ARGUMENT) is obkey's own refusal: the
 * comment of each function lists the inputs refused before the token is reached; an internal
 * failure (out of memory) is -1 too. 3 (OB_E_NO_SESSION): no token session.
 *
 * Token sessions. A token-backed call opens its own session, does its work and closes it on
 * every exit; obkey keeps no session, handle or PIN between calls. Each opening reads the device
 * from the registry:
 * HKEY_LOCAL_MACHINE\SOFTWARE\orbisoft\Implement Type, value "USBKEY", the device index being
 * the decimal number from its tenth character on ("XCSP_KEY_0" is device 0); a missing value,
 * or one shorter than nine characters, gives 3. [PIN] marks calls whose token operation needs
 * the user PIN checked by OBCA_Login earlier in the same process (the token library decides;
 * the software token does). Sessions and several calls append fixed lines to the diagnostic log
 * c:\xml816.log (Windows); a log that cannot be opened is skipped. A token library may keep a
 * session's changes until the session is closed (the software token commits them there): when
 * closing a session that was opened fails, a call that would have returned 0 returns the
 * token library's closing status instead, since its change was not kept. A call that already
 * failed keeps its own status, and the closing after a failed opening (handle 0) is never
 * counted.
 *
 * Threads. Every call may be made from any thread, and calls on several threads at once run at
 * once: obkey starts no thread and holds no lock of its own while a call waits for the token;
 * each call works in a session of its own. Its process-wide state is guarded: the table of
 * symmetric keys takes a lock, and the enumeration toggle of OBCERT_EnumCertInStore flips
 * atomically (the threads then share its alternation). Whether the token serves concurrent
 * sessions is the token library's affair. The software token and p11token do, across threads
 * and processes: calls that change the token take turns under the token's lock, no call's
 * change undoes another's (label imports and deletes included), and signatures and decryptions
 * run in parallel. What callers must order themselves is what spans several calls: the PIN check
 * belongs to the process, so a wrong PIN given on one thread ends the login for every thread
 * ([PIN] calls then fail until OBCA_Login succeeds again), and two threads changing the same
 * thing (a label, a key pair) leave the last call's change. Another vendor's token library may
 * allow one session at a time: serialise the calls then.
 *
 * Buffers. The caller owns every buffer and record; obkey never frees or keeps one. Size query:
 * where a comment says so, a null output pointer (or null pbData) or a capacity below the
 * needed length makes the call store the needed length, return 0 and write nothing else; the
 * comment says whether a session is opened for it. Other outputs are written without asking:
 * key-name texts (OB_FindContainerAndKeypair, OB_GenAsymmetricKey) are zero-terminated and
 * written without a capacity check, so the caller provides room for the container name + 3
 * characters + the terminator; the output buffers of OB_AsymmetricDecrypt,
 * OB_AsymmetricSignData and OB_AsymmetricVerifySign must hold 128 bytes. After a failure an
 * output holds what was written before it; where that is more than nothing, the comment says
 * so.
 *
 * Version: OBKEY_VERSION_MAJOR, OBKEY_VERSION_MINOR, OBKEY_VERSION_PATCH and
 * OBKEY_VERSION_STRING come from obkey_version.h, included here.
 *
 * On Windows this header includes <windows.h> and <wincrypt.h>, so the CALG_*, KP_* and
 * CRYPT_MODE_* values it shares with the CryptoAPI come from there (the same numbers); the
 * fallback definitions in obkey_types.h serve elsewhere.
 *
 * obkey_types.h, included here, holds the records (DataBlob, CertRef), the statuses, the
 * selectors and the sizes the comments below name. */
#ifndef OBKEY_OBKEY_H
#define OBKEY_OBKEY_H

#include <stdint.h>

#include "obkey_types.h"
#include "obkey_version.h"

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

/* ---- login, logout, format, PIN ---- */
/* OBCA_Login verifies the user PIN `pin` (zero-terminated; strlen is its length) on the token
 * and returns the token library's status: 0, or its status for a wrong PIN (one try fewer) or a
 * locked one. The session is opened first: without a token the result is 3; then a user_type
 * other than 1, or a null pin, gives -1. The token library remembers a successful check for the
 * calling process, which the [PIN] calls need. */
OBKEY_EXPORT int32_t OBAPI OBCA_Login(uint32_t user_type, const char *pin);
/* OBCA_Logout returns 0 and does nothing; the token keeps its PIN state. */
OBKEY_EXPORT int32_t OBAPI OBCA_Logout(void);
/* OBCA_Format has the formatting library (FormatMWKey) format token `device_index`, erasing its
 * containers, keys, certificates and files, and returns its status. No session is opened and
 * the registry is not read: the device is the argument. */
OBKEY_EXPORT int32_t OBAPI OBCA_Format(int32_t device_index, uint32_t ignored);
/* OB_SetPVKEnabelData changes the user PIN from *old_pin to *new_pin (lengths from cbData) and
 * returns the token library's status (a wrong old PIN costs a try). A null record, or a null
 * pbData with a nonzero cbData, gives -1 before any session. */
OBKEY_EXPORT int32_t OBAPI OB_SetPVKEnabelData(uint32_t ignored1, const DataBlob *old_pin,
                                               const DataBlob *new_pin, uint32_t ignored2);
/* OB_EnablePVK returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OB_EnablePVK(uint32_t ignored1, uint32_t ignored2, uint32_t ignored3);
/* OB_DisabelPVK prints the handles and names of the token's exchange and signature containers
 * to the standard output. Returns 0 once a session was opened, whatever the container calls
 * said; 3 (and "No key connected.") without a token. */
OBKEY_EXPORT int32_t OBAPI OB_DisabelPVK(uint32_t ignored);
/* OB_IsPVKEnabeled returns 1 (OB_PVK_ENABLED) and does nothing. */
OBKEY_EXPORT int32_t OBAPI OB_IsPVKEnabeled(uint32_t ignored);

/* ---- containers, key pairs, random numbers ---- */
/* OB_CreateContainer creates the container `container_name` on the token, or opens it when it
 * exists, and returns the token library's status. A name containing "SIG" names the signature
 * container, one containing "ENC" the exchange container (case-sensitive). -1 before any
 * session: a null or empty name, one longer than 47 bytes, or one with neither keyword. */
OBKEY_EXPORT int32_t OBAPI OB_CreateContainer(const char *container_name);
/* OB_DestroyContainer returns 0 and does nothing: only OBCA_Format removes containers. */
OBKEY_EXPORT int32_t OBAPI OB_DestroyContainer(const char *ignored);
/* OB_FindContainerAndKeypair forms the four key names of `container_name` without touching the
 * token: the signature pair's ("\03", "\04") into the first two records, the exchange pair's
 * ("\01", "\02") into the last two. Every cbData becomes 151 (not the text length); each name
 * is written, zero-terminated and without a capacity check, where pbData is not null, so a null
 * pbData learns only the 151. A null name, a name longer than 147 bytes, or any null record
 * gives -1 and writes nothing. */
OBKEY_EXPORT int32_t OBAPI OB_FindContainerAndKeypair(const char *container_name,
                                                      DataBlob *out_sig_name1,
                                                      DataBlob *out_sig_name2,
                                                      DataBlob *out_exch_name1,
                                                      DataBlob *out_exch_name2);
/* OB_GenAsymmetricKey creates or opens the container `container_name`, has the token generate a
 * new RSA pair of `key_type` in it [PIN] and writes the pair's two key names ("\01", "\02" for
 * key type 1, "\03", "\04" for 2), zero-terminated and without a capacity check, to the pbData
 * of out_key_name1 and out_key_name2; cbData is not touched. -1 before any session: a null or
 * empty name; a key type other than 1 (needs "ENC" in the name) or 2 (needs "SIG") or one the
 * name does not fit; a null record or a null pbData. Once the container is there the names are
 * written whatever the generation returned. */
OBKEY_EXPORT int32_t OBAPI OB_GenAsymmetricKey(const char *container_name, DataBlob *out_key_name1,
                                               DataBlob *out_key_name2, uint32_t ignored1,
                                               uint32_t ignored2, uint32_t key_type);
/* OB_GenRandom fills out_random->cbData bytes at pbData from the token's random generator and
 * returns the token library's status (a failure also prints a line to the standard output). A
 * null record, or a null pbData with a nonzero cbData, gives -1 before any session. */
OBKEY_EXPORT int32_t OBAPI OB_GenRandom(DataBlob *out_random);

/* ---- asymmetric operations ---- */
/* OB_AsymmetricEncrypt runs the RSA public-key operation of the exchange container's key (its
 * exchange pair, else its signature pair) on in_len bytes of `in`; the token pads inputs
 * shorter than 128 bytes. Size query: a null `out` stores 128 in *inout_out_len and returns 0
 * without a session. -1 before any session: a null inout_out_len; a null `in` with a nonzero
 * in_len. *inout_out_len goes to the token as the capacity of `out` (give 128) and holds the
 * length written on return. -1 after opening the session when the container holds no pair.
 * alg_id is only logged. */
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricEncrypt(const DataBlob *ignored_key, uint32_t ignored2,
                                                uint32_t ignored3, uint8_t *out,
                                                uint32_t *inout_out_len, const uint8_t *in,
                                                uint32_t in_len, uint32_t alg_id);
/* OB_AsymmetricDecrypt decrypts in_len bytes of `in` with the private key [PIN] of the
 * signature container (alg_id CALG_RSA_SIGN) or the exchange container (CALG_RSA_KEYX), using
 * its exchange pair, else its signature pair. The output buffer must hold 128 bytes, and the
 * length is output only: obkey sets it to 128 before the token call, whatever the caller put
 * there, and the token writes up to 128 bytes (a shorter buffer is overrun; this contract is
 * kept for existing clients). On success the length holds what the token wrote. No size query.
 * -1 before any session: a null `out` or inout_out_len; a null `in` with a nonzero in_len. -1
 * after opening the session: any other alg_id, or a container without a pair. */
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricDecrypt(const DataBlob *ignored_key, uint32_t ignored2,
                                                uint32_t ignored3, uint8_t *out,
                                                uint32_t *inout_out_len, const uint8_t *in,
                                                uint32_t in_len, uint32_t alg_id);
/* OB_AsymmetricSignData signs data_len bytes of `data` with the private key [PIN] of the
 * signature container (its signature pair, else its exchange pair); the token pads inputs
 * shorter than 128 bytes and signs 128 bytes as they are.
 * What to hand it: for a PKCS #1 v1.5 signature that others check (openssl dgst -sha256 -verify,
 * CryptoAPI, Java), `data` is the DER DigestInfo of the message's digest, which the caller
 * computes: the algorithm's fixed prefix followed by the digest (SHA-256: the 19 bytes 30 31 30
 * 0d 06 09 60 86 48 01 65 03 04 02 01 05 00 04 20, then 32 bytes; SHA-1: 30 21 30 09 06 05 2b
 * 0e 03 02 1a 05 00 04 14, then 20). The token neither hashes nor adds a DigestInfo: the
 * software token and p11token apply the PKCS #1 v1.5 type 1 padding (00 01 FF..FF 00 data) to
 * inputs of 0 to 117 bytes and compute the raw RSA private operation on it; 128 bytes are
 * signed as they are (a block the caller padded itself, below the modulus); 118 to 127 bytes
 * are refused. examples/sign_and_verify.c of the sources works a signature through. The output
 * buffer must hold 128
 * bytes, and the length is output only: obkey sets it to 128 before the token call, whatever
 * the caller put there, and the token writes up to 128 bytes (a shorter buffer is overrun; this
 * contract is kept for existing clients). On success the length holds what the token wrote. No
 * size query. -1 before any session: a null out_signature or inout_signature_len; a null `data`
 * with a nonzero data_len. -1 after opening the session when the container holds no pair. */
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricSignData(const DataBlob *ignored_key, const uint8_t *data,
                                                 uint32_t data_len, uint8_t *out_signature,
                                                 uint32_t *inout_signature_len, uint32_t ignored6);
/* OB_AsymmetricVerifySign runs the public-key operation of the signature container's key (its
 * signature pair, else its exchange pair) on `signature` and returns the resulting block in
 * out_block; the caller compares it with what was signed (whether the padding is removed is the
 * token library's affair: the software token and p11token remove a valid type 1 padding and
 * return the DigestInfo or data that was signed, and return the whole 128-byte block when the
 * padding is not valid). The public key is the one stored on the token: a public operation needs
 * no PIN, and nothing binds that stored key to the private key, so a match shows the signature
 * fits the stored key, not which key made it; check against a public key or certificate of your
 * own where that matters. The output buffer must hold 128 bytes, and the length is output
 * only: obkey sets it to 128 before the token call, whatever the caller put there, and the
 * token writes up to 128 bytes (a shorter buffer is overrun; this contract is kept for existing
 * clients). On success the length holds what the token wrote. No size query. -1 before any
 * session: a null out_block or inout_block_len; a null `signature` with a nonzero
 * signature_len. -1 after opening the session when the container holds no pair. */
OBKEY_EXPORT int32_t OBAPI OB_AsymmetricVerifySign(const DataBlob *ignored_key, uint8_t *out_block,
                                                   uint32_t *inout_block_len,
                                                   const uint8_t *signature, uint32_t signature_len,
                                                   uint32_t ignored6);

/* ---- key import and export ---- */
/* OB_ImportPublicKey checks that *public_key has bytes and selects the container of key_type (1
 * exchange, 2 signature); the key is not written to the token. -1 before any session: a null
 * record, a null pbData or a cbData of 0. After opening the session: -1 for another key type,
 * else the selection's status. */
OBKEY_EXPORT int32_t OBAPI OB_ImportPublicKey(const DataBlob *public_key, uint32_t key_type,
                                              uint32_t ignored);
/* OB_ExportPublicKey reads the public key of the pair that *key_name names (the second
 * character after its last backslash: '1' or '2' the exchange pair, '3' or '4' the signature
 * pair) into out_blob as a 148-byte CryptoAPI public-key blob (PUBLICKEYBLOB, CALG_RSA_KEYX,
 * "RSA1", 1024 bits, exponent 65537, modulus little-endian); cbData becomes 148. Size query: a
 * null pbData, or a cbData below 148, stores 148 and returns 0 without a session and without
 * reading key_name. -1 before any session: a null out_blob; a null key_name or pbData, a name
 * without a backslash or with fewer than two characters after it. -1 after opening the session:
 * a digit other than 1 to 4. */
OBKEY_EXPORT int32_t OBAPI OB_ExportPublicKey(const DataBlob *key_name, DataBlob *out_blob);
/* OB_ImportPrivateKey converts the CryptoAPI private-key blob *private_key_blob (bit length at
 * offset 12, the key parts little-endian from offset 20) to a DER RSAPrivateKey and writes it
 * to the token [PIN] as the pair of key_type in its container (1 the exchange, 2 the signature
 * container). `handle` is only tested for null. -1 before any session: a null handle; a null
 * record, null pbData or cbData 0; a blob that does not convert (a bit length of 0 or not a
 * multiple of 16, a blob shorter than its bit length needs, a key too large). -1 after opening
 * the session for another key type. */
OBKEY_EXPORT int32_t OBAPI OB_ImportPrivateKey(const void *handle, const DataBlob *private_key_blob,
                                               uint32_t key_type, uint32_t ignored4,
                                               uint32_t ignored5);
/* OB_ExportPrivateKey returns -1 and does nothing: private keys never leave the token. */
OBKEY_EXPORT int32_t OBAPI OB_ExportPrivateKey(uint32_t ignored1, uint32_t ignored2,
                                               uint32_t ignored3, uint32_t ignored4);

/* ---- certificates ---- */
/* OBCERT_CreateCertStore returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_CreateCertStore(const char *ignored);
/* OBCERT_FindCertStore returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_FindCertStore(const char *ignored);
/* OBCERT_DestroyCertStore returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_DestroyCertStore(const char *ignored);
/* OBCERT_ImportCert writes the certificate *cert to the token [PIN] as the certificate of
 * key_type (1 exchange, 2 signature), replacing any, and returns the token library's status.
 * With key type 1 or 2, a null record, or a null pbData with a nonzero cbData, gives -1 before
 * any session; an empty record {0, NULL} goes to the token as it is and the token library
 * answers. Any other key type opens and closes a session and returns 0 (3 without a token)
 * without reading the record. */
OBKEY_EXPORT int32_t OBAPI OBCERT_ImportCert(uint32_t ignored1, const DataBlob *cert,
                                             uint32_t ignored3, uint32_t ignored4,
                                             uint32_t ignored5, uint32_t key_type);
/* OBCERT_ExportCert reads the certificate of *key_type (1 exchange, 2 signature; the `number`
 * of a CertRef serves) into *inout_cert: pbData is the destination and cbData its capacity on
 * entry; the token library stores the length in cbData, and answers a short capacity itself.
 * Size query: a null pbData stores 2048 (a hint, not the certificate's length) and returns 0
 * before key_type is read (it may be null) and without a session. -1 before any session: a null
 * inout_cert; a null key_type with a non-null pbData. Another key type opens and closes a
 * session and returns 0 with the record untouched. */
OBKEY_EXPORT int32_t OBAPI OBCERT_ExportCert(DataBlob *inout_cert, uint32_t ignored,
                                             const uint32_t *key_type);
/* OBCERT_DestroyCert returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_DestroyCert(const CertRef *ignored);
/* OBCERT_GetCertProperty answers fixed properties without a session. A null or short `out` is a
 * size query, never an error:
 * - OBCERT_PROP_VENDOR: the 8 bytes "orbisoft", no terminator, written when `out` is not null
 *   and *inout_len is at least 8 (*inout_len then stays as it was); otherwise *inout_len
 *   becomes 8.
 * - OBCERT_PROP_EMPTY: nothing is written; a null `out` sets *inout_len to 0.
 * - OBCERT_PROP_KEY_SPEC: a native 32-bit integer, 1 when cert->number is 1, else 2, written
 *   when `out` has room for 4 bytes; *inout_len becomes 4.
 * A null inout_len, or a null `cert` for OBCERT_PROP_KEY_SPEC, gives -1; any other property id
 * gives 9 (OBCERT_E_PROPERTY) and writes nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_GetCertProperty(const CertRef *cert, uint32_t property_id,
                                                  uint8_t *out, uint32_t *inout_len);
/* OBCERT_SetCertProperty returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_SetCertProperty(const CertRef *ignored1, uint32_t ignored2,
                                                  const uint8_t *ignored3, uint32_t ignored4);
/* OBCERT_EnumCertInStore answers an enumeration request for certificate `number` (1 to 4) from
 * the token's certificate count and one process-wide toggle, never from the certificates; only
 * inout_cert->number is ever written. -1 before any session: a null store_name or inout_cert; a
 * store name longer than 16 bytes, which also raises the one error notice of enumeration (see
 * below). 10 (OBCERT_E_NO_CERT): no session (no disconnect is made), the count cannot be read
 * or is 0, or `number` is not 1 to 4. A reference whose tag is 0 receives `number` and gives 0.
 * With a nonzero tag: 10 when the count is below `number`, else the toggle answers 0, 10, 0,
 * ... across every caller of the process.
 *
 * The notice is a message box (caption "ERROR", OK button, no owner window) that blocks the
 * call until dismissed. On Windows, when the environment variable OBKEY_NO_MESSAGE_BOX is "1"
 * at that moment (obkey reads it with getenv: set it before the program starts, since
 * SetEnvironmentVariable later may not reach it), the line "ERROR: <text>" goes to the standard
 * error instead, for services and unattended runs, where a box would wait forever. On other
 * systems it always goes to the standard error. */
OBKEY_EXPORT int32_t OBAPI OBCERT_EnumCertInStore(const char *store_name, uint32_t number,
                                                  CertRef *inout_cert, uint32_t ignored);
/* OBCERT_GetUserCert returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OBCERT_GetUserCert(uint32_t ignored1, uint32_t ignored2,
                                              uint32_t ignored3);

/* ---- certificate request and installation ---- */
/* OBCERT_CreateP10 has the enrollment library make a PKCS #10 request for `subject` with the
 * token's signature key into *out_request and returns its status unchanged. obkey refuses
 * nothing and opens no session: both arguments go on unread, and the enrollment library defines
 * the subject form, the size query and the need for the PIN (the stand-in VeltaNxoEnrollApi: a
 * null pbData or short cbData stores the PEM length + 1 and returns 0). */
OBKEY_EXPORT int32_t OBAPI OBCERT_CreateP10(uint32_t ignored1, uint32_t ignored2, uint32_t ignored3,
                                            const char *subject, DataBlob *out_request,
                                            uint32_t ignored6);
/* OBCERT_InstallCert installs issued certificates: it reads certKmcReq1..3 and certKmcRep1..3
 * from the XML answer (children of its "root" element; a missing one gives an empty text),
 * hands `pkcs7` to the enrollment library's PKCS #7 import (whose status is ignored) and
 * returns the status of its seal installation, which writes the certificates to the token [PIN]
 * and is given seal_arg1 (argument 3) before seal_arg2 (argument 1). The XML answer is written
 * to the diagnostic log. A null xml_answer gives -1 before any enrollment call. Call it from a
 * thread that is not in COM's multithreaded apartment: there the XML cannot be read and every
 * value is "-1". */
OBKEY_EXPORT int32_t OBAPI OBCERT_InstallCert(const void *seal_arg2, uint32_t ignored2,
                                              const void *seal_arg1, uint32_t ignored4,
                                              const char *pkcs7, uint32_t ignored6,
                                              const char *xml_answer, uint32_t ignored8);

/* ---- labelled token files ---- */
/* OBCA_ImportFile stores data_len bytes of `data` on the token [PIN] under `label` (a
 * zero-terminated text of at most 18 bytes) in the label directory of store selector 0,
 * replacing the data of a label already stored. The reserved labels "LAB_USERCERT_ENC" and
 * "LAB_USERCERT_SIG" first write the bytes as the exchange or signature certificate; another
 * store selector does only that and returns 0. -1 before any session: a null or over-long
 * label, a null `data` (even with data_len 0). -1 when the ten directory records are taken by
 * other labels (a reserved label's certificate is written by then). A token that has no room for
 * the data answers with its own status (the software token and p11token: XCST_FILE_SPACE_FULL),
 * which is returned as it is. */
OBKEY_EXPORT int32_t OBAPI OBCA_ImportFile(const char *label, uint32_t store_selector,
                                           const uint8_t *data, uint32_t data_len);
/* OBCA_ExportFile reads the data of `label` into `out`; *inout_len is the capacity on entry and
 * the length read on return. A reserved label is first read from its certificate (with the other
 * key specification when that fails); store selector 0 then reads the labelled file over it,
 * another selector returns after the certificate. -1 before any session: a null or over-long
 * label, a null `out` or inout_len. -1 when the label is not in the directory (a reserved
 * label's certificate may be in `out` by then).
 * No size query, and never a part of the data: a capacity below the data's length is refused by
 * the token library with its own nonzero status (the software token and p11token:
 * XCST_BUFFER_TOO_SMALL, obkey_status.h), which obkey returns; *inout_len then holds the length
 * the data needs and `out` holds none of the file. Call again with that capacity. */
OBKEY_EXPORT int32_t OBAPI OBCA_ExportFile(const char *label, uint32_t store_selector, uint8_t *out,
                                           uint32_t *inout_len);
/* OBCA_DeleteFile removes `label` from the label directory and deletes its data [PIN]; an
 * absent label gives 0. A reserved label loses its labelled file, never the certificate.
 * Another store selector opens a session and returns 0. -1 before any session: a null or
 * over-long label. */
OBKEY_EXPORT int32_t OBAPI OBCA_DeleteFile(const char *label, uint32_t store_selector);
/* OBCA_ReadLabelList stores the number of labels in *out_count and, unless out_list is null,
 * each label's 19-byte field in consecutive OB_LABEL_SLOT_SIZE (20-byte) slots, without a
 * capacity check (the 20th byte of a slot is not written; 200 bytes hold every label). A null
 * out_list asks for the count only; a session is still opened. A null out_count gives -1 before
 * any session. Another store selector returns 0 after opening a session and writes nothing. */
OBKEY_EXPORT int32_t OBAPI OBCA_ReadLabelList(uint32_t store_selector, uint8_t *out_list,
                                              uint32_t *out_count);

/* ---- software symmetric keys ---- */
/* OB_GenSymmetricKey fills the caller's key buffer from the token's random generator (a session
 * per draw) and records the key in the process's key table: cbData bytes for CALG_RC4 and
 * OB_ALG_KEY_AREA, always 24 bytes for CALG_3DES (pbData must hold 24; cbData stays as set: 24
 * three-key, 16 two-key). -1 before any session: another alg_id, a null record or a null
 * pbData. A failed draw returns its status, records nothing and may leave part of the buffer
 * filled. */
OBKEY_EXPORT int32_t OBAPI OB_GenSymmetricKey(uint32_t alg_id, DataBlob *key, uint32_t ignored);
/* OB_ImportSymmetricKey takes the key bytes after the 12-byte header of the key blob *key_blob,
 * unexamined, and records the key: out_key->cbData becomes key_blob->cbData - 12, and that many
 * bytes are copied to out_key->pbData without a capacity check. Size query: a null
 * out_key->pbData receives only the length (0). Returns 1 (OB_E_KEY_IMPORT), not -1, for a null
 * blob or pbData, a blob of 12 bytes or fewer, an alg_id other than CALG_RC4, CALG_3DES or
 * OB_ALG_KEY_AREA, or a null out_key. No token. */
OBKEY_EXPORT int32_t OBAPI OB_ImportSymmetricKey(const DataBlob *key_blob, uint32_t alg_id,
                                                 DataBlob *out_key);
/* OB_DestroyKey returns 0 and does nothing: the key bytes are the caller's to wipe and free. */
OBKEY_EXPORT int32_t OBAPI OB_DestroyKey(const DataBlob *ignored);
/* OB_GetKeyProperty answers fixed properties of the token pair that *key_name names, as 4-byte
 * little-endian values, without a session: KP_PADDING 1, KP_PERMISSIONS 7, KP_BLOCKLEN 1024,
 * KP_ALGID CALG_RSA_KEYX when the second character after the name's last backslash is '1' or
 * '2', CALG_RSA_SIGN when it is '3' or '4'. First -1 for a null key_name record, a null pbData,
 * an empty name or one without a backslash; then any other property returns 0 and writes
 * nothing; then a null inout_len gives -1. Size query: a null `out`, or *inout_len below 4,
 * stores 4 and returns 0. KP_ALGID for a name whose second character after the last backslash
 * is not 1 to 4 gives -1. On success *inout_len stays as it was. */
OBKEY_EXPORT int32_t OBAPI OB_GetKeyProperty(const DataBlob *key_name, uint32_t property,
                                             uint8_t *out, uint32_t *inout_len);
/* OB_GetSupportedAlgId returns 0 and does nothing. */
OBKEY_EXPORT int32_t OBAPI OB_GetSupportedAlgId(uint32_t ignored1, uint32_t ignored2);
/* OB_SymmetricEncrypt encrypts in_len bytes of `in` into `out` (as long as `in`; no padding)
 * with the caller's key: CALG_3DES in `mode` CRYPT_MODE_CBC, _ECB, _OFB or _CFB (a key of
 * exactly 24 bytes is three-key, any other of at least 16 bytes two-key; the vector starts at
 * zero every call), or CALG_RC4 (keystream afresh every call; `mode` ignored). No token. -1
 * first: another alg_id; a null inout_out_len; a null key or key pbData, a triple-DES key under
 * 16 bytes or an RC4 key of 0; a triple-DES mode other than 1 to 4. Size query: a null `out`,
 * or *inout_out_len below in_len, stores in_len and returns 0. Then -1 for OB_ALG_KEY_AREA (no
 * cipher stands behind it), a null `in` with a nonzero in_len, or in_len above 2^31 - 1. Triple
 * DES sets the caller's key bytes to odd parity in place and *inout_out_len to in_len; RC4
 * leaves the length as given. CIPHER_E_KEY: a weak DES key part (nothing written).
 * CIPHER_E_LENGTH: ECB or CBC data whose length is not a multiple of 8 (`out` then holds a copy
 * of `in`). */
OBKEY_EXPORT int32_t OBAPI OB_SymmetricEncrypt(DataBlob *key, uint32_t ignored2, uint32_t ignored3,
                                               const uint8_t *in, uint32_t in_len, uint8_t *out,
                                               uint32_t *inout_out_len, uint32_t alg_id,
                                               uint32_t mode);
/* OB_SymmetryDecrypt decrypts as OB_SymmetricEncrypt encrypts, with the same arguments,
 * refusals, size query and statuses. */
OBKEY_EXPORT int32_t OBAPI OB_SymmetryDecrypt(DataBlob *key, uint32_t ignored2, uint32_t ignored3,
                                              const uint8_t *in, uint32_t in_len, uint8_t *out,
                                              uint32_t *inout_out_len, uint32_t alg_id,
                                              uint32_t mode);
/* OB_ExportSymmetricKey writes the key *key as a key blob into *inout_blob: a 12-byte header
 * (type 1, version 2, two zero bytes, alg_id and the wrapping algorithm, little-endian), then
 * - with a null wrapping_key: the key plain, 12 + key->cbData bytes;
 * - with a key name whose second character after the last backslash is '1' (the exchange pair):
 *   the key (at most 117 bytes) wrapped by the token's exchange key through
 *   OB_AsymmetricEncrypt, its padding from 16 token random bytes, 140 bytes;
 * - with another key name ("\02", "\03", "\04"): -1;
 * - otherwise wrapping_key->pbData points at a 516-byte RSA public key record (bit length as a
 *   little-endian 32-bit value, then modulus and exponent big-endian, right-aligned in 256
 *   bytes each): wrapped in software, seeded from 256 token random bytes, 12 + modulus bytes.
 * Size query: a null pbData or a short cbData stores the length of its form and returns 0
 * without a session; the software form checks its arguments first. -1 before any session: a
 * null key, key pbData or inout_blob; software form: a null wrapping pbData, an empty key, a
 * bit length of 0 or over 2048, a key longer than the modulus bytes - 11. The token form writes
 * cbData (140) and the header before it refuses a key over 117 bytes (-1) or returns a token
 * status. */
OBKEY_EXPORT int32_t OBAPI OB_ExportSymmetricKey(const DataBlob *key, const DataBlob *wrapping_key,
                                                 DataBlob *inout_blob, uint32_t alg_id);

/* ---- digests ---- */
/* OB_Digest digests in_len bytes of `in` with CALG_MD5 (16 bytes) or CALG_SHA1 (20 bytes) into
 * `out`, sets *inout_out_len to that length and returns 0; no token. Another alg_id (CALG_MD2
 * included) gives OB_NTE_BAD_ALGID first and writes nothing. Then a null inout_out_len gives
 * -1. Size query: a null `out`, or *inout_out_len below the digest length, stores 16 or 20 and
 * returns 0 before the input is looked at. Then a null `in` with a nonzero in_len gives -1. */
OBKEY_EXPORT int32_t OBAPI OB_Digest(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in,
                                     uint32_t in_len, uint32_t alg_id);

#ifdef __cplusplus
}
#endif

#endif /* OBKEY_OBKEY_H */

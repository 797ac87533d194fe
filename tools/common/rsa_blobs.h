// CryptoAPI RSA key blobs to and from the PEM forms that other tools use.
#ifndef OBKEY_TOOLS_COMMON_RSA_BLOBS_H
#define OBKEY_TOOLS_COMMON_RSA_BLOBS_H

#include <openssl/evp.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "wiping_allocator.h"

namespace obkeyctl {

// PublicBlobToPem turns a public-key blob ("RSA1", modulus least significant
// byte first) into a PEM SubjectPublicKeyInfo. False if it is no such blob.
bool PublicBlobToPem(const std::vector<uint8_t> &blob, std::string *out_pem);

// PublicBlobToDer gives the DER SubjectPublicKeyInfo of a public-key blob.
bool PublicBlobToDer(const std::vector<uint8_t> &blob, std::vector<uint8_t> *out_der);

// PrivateKeyToBlob reads an unencrypted RSA private key, PEM or DER (PKCS #1
// or #8, or a PKCS #12 without a password; `inform` "pem", "der", "p12", or
// empty to recognise it), into a private-key blob as PemToPrivateBlob does,
// and gives its size in bits. False for anything else; it never asks for a
// password.
bool PrivateKeyToBlob(const obkey::SecretBytes &file, const std::string &inform,
                      obkey::SecretBytes *out_blob, int *out_bits);

// KeyToPrivateBlob lays out an RSA key that OpenSSL holds as a private-key
// blob, as PemToPrivateBlob does. False if a part of the key is missing.
bool KeyToPrivateBlob(EVP_PKEY *key, obkey::SecretBytes *out_blob);

// PemToPrivateBlob reads a PEM RSA private key and lays it out as a
// CryptoAPI private-key blob ("RSA2", every part least significant byte
// first at its fixed width). False if the PEM holds no RSA key.
bool PemToPrivateBlob(const obkey::SecretBytes &pem, obkey::SecretBytes *out_blob);

// Sha1DigestInfo is the DER DigestInfo of the SHA-1 digest of `data`: what a
// PKCS #1 v1.5 signature with SHA-1 signs.
std::vector<uint8_t> Sha1DigestInfo(const std::vector<uint8_t> &data);

// CertificateToDer accepts a certificate as DER or PEM and gives its DER.
bool CertificateToDer(const std::vector<uint8_t> &file, std::vector<uint8_t> *out_der);

// CertificateFileToDer is CertificateToDer for one form: "pem", "der", or
// empty to recognise it.
bool CertificateFileToDer(const std::vector<uint8_t> &file, const std::string &inform,
                          std::vector<uint8_t> *out_der);

// CertificateToPem gives the PEM form of a DER certificate.
bool CertificateToPem(const std::vector<uint8_t> &der, std::string *out_pem);

// PemToRsaPublicKeyRecord reads a PEM public key (or certificate) into the
// 516-byte RsaPublicKey record that the software key wrapping takes: bit
// count little-endian, modulus and exponent big-endian, right-aligned in 256
// bytes each. False for a key that is no RSA key of at most 2048 bits.
bool PemToRsaPublicKeyRecord(const std::vector<uint8_t> &pem, std::vector<uint8_t> *out_record);

// PublicKeyToRsaPublicKeyRecord is the same for a public key or certificate
// in either form ("pem", "der", or empty to recognise it).
bool PublicKeyToRsaPublicKeyRecord(const std::vector<uint8_t> &file, const std::string &inform,
                                   std::vector<uint8_t> *out_record);

// RequestPemToDer gives the DER form of a PEM certificate request.
bool RequestPemToDer(const std::string &pem, std::vector<uint8_t> *out_der);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_COMMON_RSA_BLOBS_H

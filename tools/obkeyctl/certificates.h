// Reading certificates as obkeyctl checks and lists them: their public key,
// names and expiry, and the certificates of an enrollment answer.
#ifndef OBKEY_TOOLS_OBKEYCTL_CERTIFICATES_H
#define OBKEY_TOOLS_OBKEYCTL_CERTIFICATES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace obkeyctl {

using Bytes = std::vector<uint8_t>;

struct CertificateFacts {
  std::string subject;
  std::string issuer;
  std::string not_after;  // "2027-12-07 16:20:00 UTC"
  Bytes public_key;       // DER SubjectPublicKeyInfo
};

// DescribeCertificate reads a DER certificate; false if it does not parse.
bool DescribeCertificate(const Bytes &der, CertificateFacts *out_facts);

// BlobPublicKey is the DER SubjectPublicKeyInfo of a public-key blob, empty
// if it is none.
Bytes BlobPublicKey(const Bytes &blob);

// KeyFingerprint is "SHA256:" and the hex SHA-256 of a DER public key.
std::string KeyFingerprint(const Bytes &public_key);

// Pkcs7Certificates gives the DER certificates of a PKCS #7 bundle written
// as PEM or as the bare base64 of its DER; empty when it is neither.
std::vector<Bytes> Pkcs7Certificates(const std::string &text);

// XmlElementText is the text of the first <name>...</name> of `xml`, empty
// when absent.
std::string XmlElementText(const std::string &xml, const std::string &name);

// Base64Decode decodes base64 with line breaks and spaces allowed; false on
// anything else.
bool Base64Decode(const std::string &text, Bytes *out);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_CERTIFICATES_H

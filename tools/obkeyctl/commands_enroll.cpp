// Certificate requests and the installation of the authority's answer.
#include <cstdio>
#include <string>
#include <vector>

#include "certificates.h"
#include "cli.h"
#include "rsa_blobs.h"
#include "token_view.h"

namespace obkeyctl {
namespace {

// Text files are handed over zero-terminated.
std::string ReadText(const std::string &path) {
  std::vector<uint8_t> bytes = ReadInput(path);
  return std::string(bytes.begin(), bytes.end());
}

int EnrollRequestCommand(Context &context, const Args &args) {
  auto create_request = Require(context.api().create_request, "OBCERT_CreateP10");
  context.LogIn(args);
  context.BeforeTokenCall(false);
  std::string subject = args.Get("subject");
  DataBlob query{0, nullptr};
  auto explain = [&](int32_t failed) {
    std::vector<Finding> findings;
    if (failed == OB_E_ARGUMENT) {
      findings.push_back(
          {"the subject " + subject + " was refused, or the token has no signature key pair",
           "write the subject as /O=Example/CN=Alice, and make the key with "
           "obkeyctl genkey NAME_SIG --type sig"});
    }
    return findings;
  };
  context.Check("enroll request",
                context.Call("OBCERT_CreateP10",
                             [&] { return create_request(0, 0, 0, subject.c_str(), &query, 0); }),
                explain);
  std::vector<uint8_t> pem(query.cbData);
  DataBlob request{static_cast<uint32_t>(pem.size()), pem.data()};
  context.Check("enroll request",
                context.Call("OBCERT_CreateP10",
                             [&] { return create_request(0, 0, 0, subject.c_str(), &request, 0); }),
                explain);
  std::string text(pem.begin(), pem.begin() + request.cbData);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (args.Get("outform", "pem") == "der") {
    std::vector<uint8_t> der;
    if (!RequestPemToDer(text, &der)) Failure("the enrollment library's request does not parse");
    Emit(args, der.data(), der.size(), false);
  } else {
    EmitText(args, text, false);
  }
  return kExitOk;
}

// What the answer asked to install for `key_type`: the signature
// certificate is the bundle's one holding the token's signature key, the
// exchange certificate the answer's certKmcRep1. Empty when none is.
std::vector<uint8_t> GivenCertificate(Context &context, uint32_t key_type,
                                      const std::string &answer, const std::string &pkcs7) {
  if (key_type == OB_KEY_TYPE_EXCHANGE) {
    std::vector<uint8_t> der;
    if (!Base64Decode(XmlElementText(answer, "certKmcRep1"), &der)) der.clear();
    return der;
  }
  std::string names[2];
  ContainerNames(context, names);
  const Slot &slot = SlotOf(key_type);
  std::vector<uint8_t> blob;
  if (names[slot.index].empty() || !PublicKeyBlob(context, names[slot.index] + slot.suffix, &blob))
    return {};
  std::vector<uint8_t> key = BlobPublicKey(blob);
  for (const std::vector<uint8_t> &der : Pkcs7Certificates(pkcs7)) {
    CertificateFacts facts;
    if (DescribeCertificate(der, &facts) && facts.public_key == key) return der;
  }
  return {};
}

// The library installs the signature certificate without telling whether
// it could; obkeyctl reads both back and compares them with what it gave.
void CheckInstalled(Context &context, const std::string &answer, const std::string &pkcs7,
                    const Args &args) {
  std::vector<Finding> missing;
  const struct {
    uint32_t key_type;
    std::string source;
  } parts[] = {{OB_KEY_TYPE_SIGNATURE, args.Get("pkcs7")},
               {OB_KEY_TYPE_EXCHANGE, args.at(0) + " (certKmcRep1)"}};
  for (const auto &part : parts) {
    const std::string role = SlotOf(part.key_type).role;
    std::vector<uint8_t> given = GivenCertificate(context, part.key_type, answer, pkcs7);
    std::vector<uint8_t> installed;
    bool present = CertificateOf(context, part.key_type, &installed);
    if (given.empty()) {
      missing.push_back({"the " + role + " certificate was not installed: " + part.source +
                             " holds no certificate of the token's " + role + " key",
                         "give the PKCS #7 bundle the authority issued for this token's "
                         "request"});
    } else if (!present || installed != given) {
      missing.push_back({"the " + role + " certificate was not installed: the token's " + role +
                             " container holds " + (present ? "another certificate" : "none"),
                         "run enroll install again; `obkeyctl list` shows what the token holds"});
    }
  }
  if (!missing.empty()) Failure("enroll install: not every certificate landed", missing);
}

int EnrollInstallCommand(Context &context, const Args &args) {
  std::string answer = ReadText(args.at(0));
  std::string pkcs7 = ReadText(args.Get("pkcs7"));
  auto install = Require(context.api().install_certificates, "OBCERT_InstallCert");
  context.LogIn(args);
  context.BeforeTokenCall(true);
  context.Check(
      "enroll install",
      context.Call(
          "OBCERT_InstallCert",
          [&] { return install(nullptr, 0, nullptr, 0, pkcs7.c_str(), 0, answer.c_str(), 0); }),
      [&](int32_t failed) {
        std::vector<Finding> findings;
        if (failed == OB_E_ARGUMENT) {
          findings.push_back(
              {"the answer lacks an element (root, certKmcReq1..3, certKmcRep1..3) "
               "or the PKCS #7 text is empty",
               "check " + args.at(0) + " and " + args.Get("pkcs7")});
        }
        return findings;
      });
  CheckInstalled(context, answer, pkcs7, args);
  return context.Done("enroll install", "both certificates read back from the token");
}

}  // namespace

void AddEnrollmentCommands(std::vector<Command> *table) {
  table->push_back({"enroll request", "", "subject=! outform=pem|der @out @pin",
                    "a PKCS #10 request for the token's signature key",
                    "\nexamples:\n"
                    "  obkeyctl enroll request --subject '/O=Example/CN=Alice' --out req.pem\n"
                    "  obkeyctl enroll request --subject '/CN=Alice' --pin-file ~/.pin | openssl "
                    "req -verify -noout\n",
                    EnrollRequestCommand});
  table->push_back({"enroll install", "ANSWER.xml", "pkcs7=! @pin",
                    "install the authority's certificates on the token",
                    "\nexample:\n  obkeyctl enroll install answer.xml --pkcs7 user-sig.p7b\n",
                    EnrollInstallCommand});
}

}  // namespace obkeyctl

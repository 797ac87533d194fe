// Certificate requests and the installation of the authority's answer.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "rsa_blobs.h"

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
  return context.Done("enroll install");
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

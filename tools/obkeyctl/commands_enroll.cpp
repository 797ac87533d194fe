// Certificate requests and the installation of the authority's answer.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/obkeyctl/cli.h"

namespace obkeyctl {
namespace {

// Text files are handed over zero-terminated.
bool ReadText(const std::string &path, std::string *out_text) {
  std::vector<uint8_t> bytes;
  if (!ReadFile(path, &bytes)) return false;
  out_text->assign(bytes.begin(), bytes.end());
  return true;
}

int EnrollRequestCommand(Context &context, const Args &args) {
  if (context.api.create_request == nullptr) return Missing("OBCERT_CreateP10");
  if (args.count() != 0 || !args.Has("subject") || !args.Has("out")) {
    return Fail("enroll request needs --subject and --out");
  }
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  std::string subject = args.Get("subject");
  DataBlob query{0, nullptr};
  int32_t status = context.api.create_request(0, 0, 0, subject.c_str(), &query, 0);
  if (status != OB_OK) return Report("enroll request", status);
  std::vector<uint8_t> pem(query.cbData);
  DataBlob request{static_cast<uint32_t>(pem.size()), pem.data()};
  status = context.api.create_request(0, 0, 0, subject.c_str(), &request, 0);
  if (status != OB_OK) return Report("enroll request", status);
  if (!WriteFile(args.Get("out"), pem.data(), request.cbData)) return 1;
  return Report("enroll request", status);
}

int EnrollInstallCommand(Context &context, const Args &args) {
  if (context.api.install_certificates == nullptr) return Missing("OBCERT_InstallCert");
  if (args.count() != 1 || !args.Has("pkcs7")) {
    return Fail("enroll install needs the XML answer and --pkcs7 with the signature certificate");
  }
  std::string answer, pkcs7;
  if (!ReadText(args.at(0), &answer) || !ReadText(args.Get("pkcs7"), &pkcs7)) return 1;
  int exit_code = 0;
  if (!LoggedIn(context, args, &exit_code)) return exit_code;
  return Report("enroll install", context.api.install_certificates(
                                      nullptr, 0, nullptr, 0, pkcs7.c_str(), 0, answer.c_str(), 0));
}

}  // namespace

void AddEnrollmentCommands(std::vector<Command> *table) {
  table->push_back({"enroll request", "--subject /CN=... --out REQ.pem [--pin PIN]",
                    "a PKCS #10 request for the token's signature key", EnrollRequestCommand});
  table->push_back({"enroll install", "ANSWER.xml --pkcs7 SIGN.p7b [--pin PIN]",
                    "install the authority's certificates on the token", EnrollInstallCommand});
}

}  // namespace obkeyctl

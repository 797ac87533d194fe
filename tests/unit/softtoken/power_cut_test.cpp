// A power cut at any moment of the token's writes, in a strict POSIX model
// (power_cut_model.h): whatever was not flushed may be lost, file data and
// folder entries alike. No crash state may lose a change the caller was
// told of.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "power_cut_model.h"
#include "softtoken_status.h"
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

// Each of the token's writes, run one after the other on a token whose
// folder the first of them (a format) creates, two levels below a folder
// that exists.
TEST(PowerCutTest, NoCrashStateLosesAnAcknowledgedChange) {
  const std::string root = obkey_test::MakeTempFolder("obkey-power-cut");
  ASSERT_FALSE(root.empty());
  const std::string dir = root + "/share/obkey/tokens";
  setenv(kTokenDirVariable, dir.c_str(), 1);
  setenv(kLockTimeoutVariable, "5000", 1);
  struct Step {
    const char *what;
    int32_t (*run)();
    int32_t answer;
  };
  const Step steps[] = {
      {"a format that creates the folder",
       [] { return FormatToken(kInitialAdminPin, kInitialAdminPin, 0); }, 0},
      {"a login",
       [] {
         XcHandle session = 0;
         int32_t status = ConnectEkey(0, &session);
         if (status == 0) status = VerifyPin(session, Bytes(kInitialUserPin), 8, XC_PIN_USER);
         if (session != 0 && DisconnectEkey(session) != 0 && status == 0) status = -1;
         return status;
       },
       0},
      {"a wrong PIN",
       [] {
         XcHandle session = 0;
         int32_t status = ConnectEkey(0, &session);
         if (status == 0) status = VerifyPin(session, Bytes("00000000"), 8, XC_PIN_USER);
         DisconnectEkey(session);
         return status;
       },
       XCST_PIN_INCORRECT},
      {"a session's changes",
       [] {
         XcHandle session = 0, container = 0, file = 0;
         int32_t status = ConnectEkey(0, &session);
         if (status == 0) status = VerifyPin(session, Bytes(kInitialUserPin), 8, XC_PIN_USER);
         if (status == 0) status = CreateContainer(session, "SIG", &container, 2);
         if (status == 0) status = GenRSAKey(container, XC_KEY_SIGNATURE);
         if (status == 0) status = CreateUserFile(session, 7, 5, XC_USER_FILE_CREATE, &file);
         if (status == 0) status = WriteUserFile(file, Bytes("hello"), 5);
         const int32_t committed = DisconnectEkey(session);
         return status != 0 ? status : committed;
       },
       0},
      {"a PIN change",
       [] {
         XcHandle session = 0;
         int32_t status = ConnectEkey(0, &session);
         if (status == 0) {
           status =
               ChangePin(session, Bytes(kInitialUserPin), 8, Bytes("new pin!"), 8, XC_PIN_USER);
         }
         const int32_t committed = DisconnectEkey(session);
         return status != 0 ? status : committed;
       },
       0},
      {"a format over the token", [] { return FormatToken(kInitialAdminPin, kInitialAdminPin, 0); },
       0},
  };
  obkey_test::StartPowerCutModel(root, dir + "/token-0.db");
  for (const Step &step : steps) {
    EXPECT_EQ(step.run(), step.answer) << step.what;
    obkey_test::MarkAcknowledged(step.what);
  }
  const obkey_test::PowerCutReport report = obkey_test::StopPowerCutModel();
  ForgetAllParsedStores();
  obkey_test::RemoveTree(root);
  for (const std::string &loss : report.losses) ADD_FAILURE() << loss;
  std::printf("power cut model: %d steps, %d crash states, %d acknowledged changes, %d lost\n",
              report.steps, report.crash_states, report.acknowledged, report.lost);
  // A model that saw nothing tests nothing.
  EXPECT_EQ(report.acknowledged, 6);
  EXPECT_GT(report.steps, 50);
}

}  // namespace
}  // namespace obkey::softtoken::testing

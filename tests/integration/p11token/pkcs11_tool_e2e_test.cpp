// obkey over p11token and SoftHSMv2, side by side with pkcs11-tool.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "obkey.h"
#include "rsa_blobs.h"
#include "softhsm_tokens.h"
#include "token_backend.h"
#include "token_public_key.h"
#include "token_test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kDevice = 2;

class Pkcs11ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(obkey_test::CurrentTokenBackend(), obkey_test::TokenBackend::kPkcs11);
    ASSERT_TRUE(obkey_test::PrepareTestTokens(env_.folder()));
    ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
    ASSERT_EQ(OBCA_Login(1, obkey_test::kSoftHsmUserPin), 0);
  }

  // Tool runs pkcs11-tool on the formatted token (the device's slot: a
  // format keeps the token's label) and returns its output.
  static std::string Tool(const std::string &arguments, int expected_exit = 0) {
    std::string output;
    int exit_status = obkey_test::ProcessSoftHsmTokens().RunTool(
        std::string(OBKEY_PKCS11_TOOL) + " --module " + obkey_test::SoftHsmTokens::ModulePath() +
            " --slot-index " + std::to_string(kDevice) + " --login --pin " +
            obkey_test::kSoftHsmUserPin + " " + arguments,
        &output);
    EXPECT_EQ(exit_status, expected_exit) << arguments << "\n" << output;
    return output;
  }

  obkey_test::TokenTestEnv env_{"XCSP_KEY_" + std::to_string(kDevice)};
};

TEST_F(Pkcs11ToolTest, ObjectsMadeByObkeyCarryTheDocumentedLabels) {
  uint8_t name1[64] = {}, name2[64] = {};
  DataBlob record1{0, name1}, record2{0, name2};
  ASSERT_EQ(OB_GenAsymmetricKey("TOOL_SIG", &record1, &record2, 0, 0, OB_KEY_TYPE_SIGNATURE), 0);
  const uint8_t text[] = {'l', 'a', 'b', 'e', 'l', 'l', 'e', 'd'};
  ASSERT_EQ(OBCA_ImportFile("greeting", OB_STORE_LABELS, text, sizeof(text)), 0);

  std::string listing = Tool("--list-objects");
  for (const char *expected :
       {"Private Key Object; RSA", "Public Key Object; RSA 1024 bits", "TOOL_SIG/signature",
        "obkey containers", "obkey file 1", "application:    'obkey'"}) {
    EXPECT_NE(listing.find(expected), std::string::npos) << expected << "\n" << listing;
  }
  // The private key is marked as never leaving the token.
  EXPECT_NE(listing.find("sensitive"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("extractable"), listing.find("never extractable") + 6) << listing;
}

TEST_F(Pkcs11ToolTest, APairMadeByPkcs11ToolUnderTheLabelSignsForObkey) {
  ASSERT_EQ(OB_CreateContainer("TOOLGEN_SIG"), 0);
  Tool("--keypairgen --key-type rsa:1024 --label TOOLGEN_SIG/signature --id 5a5a");
  Bytes message = {'m', 'a', 'd', 'e', ' ', 'e', 'l', 's', 'e', 'w', 'h', 'e', 'r', 'e'};
  Bytes signature = obkey_test::SignSha1OnToken(message);
  obkey_test::Pkey public_key = obkey_test::TokenPublicKey("TOOLGEN_SIG\\03");
  ASSERT_TRUE(public_key);
  EXPECT_TRUE(obkey_test::OpenSslVerifiesSha1(public_key.get(), message, signature));
}

}  // namespace

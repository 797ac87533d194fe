// The four RSA operations: container, key type, lengths and log entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "obkey.h"

namespace {

using Calls = std::vector<std::string>;

constexpr char kConnectLog[] = "XC_ConnectEkey-------begin--\nXC_ConnectEkey-------end--\n";
constexpr char kFailed[] = "\xCA\xA7\xB0\xDC";

std::vector<uint8_t> Flags(uint32_t flags) {
  return {static_cast<uint8_t>(flags), static_cast<uint8_t>(flags >> 8), 0, 0};
}

std::string PointerText(const void *p) {
  return std::to_string(static_cast<int32_t>(reinterpret_cast<uintptr_t>(p)));
}

class AsymmetricTest : public obkey_test::FakeTokenTest {
 protected:
  uint8_t in_[16] = {1, 2, 3};
  uint8_t out_[128] = {};
  uint32_t out_len_ = 128;
};

TEST_F(AsymmetricTest, KeyTypeFollowsTheFlagsAndTheOperation) {
  struct Operation {
    const char *name;
    const char *token_call;
    bool signs;  // uses the signature key type rather than the exchange one
    std::function<int32_t()> run;
  };
  const Operation operations[] = {
      {"encrypt", "XC_RSAEncrypt", false,
       [&] { return OB_AsymmetricEncrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, CALG_RSA_KEYX); }},
      {"decrypt", "XC_RSADecrypt", false,
       [&] { return OB_AsymmetricDecrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, CALG_RSA_KEYX); }},
      {"sign", "XC_RSASign", true,
       [&] { return OB_AsymmetricSignData(nullptr, in_, 3, out_, &out_len_, 0); }},
      {"verify", "XC_RSAEncrypt", true,
       [&] { return OB_AsymmetricVerifySign(nullptr, out_, &out_len_, in_, 3, 0); }},
  };
  struct Case {
    uint32_t flags;
    const char *exchange, *signature;  // null: refused before any RSA call
  };
  const Case cases[] = {{1, "1", "257"}, {2, "2", "258"}, {3, "1", "258"}, {0, nullptr, nullptr}};
  for (const Case &c : cases) {
    for (const Operation &op : operations) {
      SCOPED_TRACE(std::string(op.name) + " with flags " + std::to_string(c.flags));
      fake::Reset();
      fake::QueueOutput("XC_GetContainerParam", Flags(c.flags));
      out_len_ = 128;
      EXPECT_EQ(op.run(), c.flags ? 0 : -1);
      const char *key_type = op.signs ? c.signature : c.exchange;
      if (key_type == nullptr) {
        for (const char *rsa : {"XC_RSAEncrypt", "XC_RSADecrypt", "XC_RSASign"}) {
          EXPECT_TRUE(fake::CallsOf(rsa).empty()) << rsa;
        }
        continue;
      }
      const std::vector<std::string> args = fake::ArgumentsOf(op.token_call);
      ASSERT_EQ(args.size(), 5u);
      EXPECT_EQ(args[4], key_type);
    }
  }
}

TEST_F(AsymmetricTest, EncryptSizeQueryTouchesNeitherRegistryNorToken) {
  env_.RemoveRegistry();
  uint32_t len = 5;
  EXPECT_EQ(OB_AsymmetricEncrypt(nullptr, 0, 0, nullptr, &len, in_, 3, CALG_RSA_KEYX), 0);
  EXPECT_EQ(len, 128u);
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_EQ(env_.ReadLog(), "OB_AsymmetricEncrypt EkeyConnect  \n");
}

TEST_F(AsymmetricTest, EncryptUsesTheExchangeContainerAndLogsEachStep) {
  fake::QueueOutput("XC_GetContainerParam", Flags(2));
  out_len_ = 200;
  EXPECT_EQ(OB_AsymmetricEncrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, CALG_RSA_SIGN), 0);
  EXPECT_EQ(
      fake::Calls(),
      Calls({"XC_ConnectEkey(7)", "XC_SetCurContainer(17, 1)", "XC_GetContainerParam(33, 2, 4, 0)",
             "XC_RSAEncrypt(33, 010203, 3, 200, 2)", "XC_DisconnectEkey(17)"}));
  EXPECT_EQ(env_.ReadLog(),
            std::string("OB_AsymmetricEncrypt EkeyConnect  \n") + kConnectLog +
                "OB_AsymmetricEncrypt {CALG_RSA_SIGN=9216,CALG_RSA_KEYX=41984} Algorithm=9216\n"
                "OB_AsymmetricEncrypt  --------------2\n"
                "OB_AsymmetricEncrypt  XC_GetContainerParam\n"
                "OB_AsymmetricEncrypt  XC_RSAEncrypt Start\n"
                "OB_AsymmetricEncrypt hContainer=[33],PartIn=[" +
                PointerText(in_) + "],PartInLen=[3],DecryptedDataLen=[200],dwKeyType=[2]");
}

TEST_F(AsymmetricTest, EncryptStopsSilentlyAtAFailedSelection) {
  fake::QueueStatus("XC_SetCurContainer", 0x50001);
  EXPECT_EQ(OB_AsymmetricEncrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, 0), 0x50001);
  EXPECT_EQ(env_.ReadLog(),
            std::string("OB_AsymmetricEncrypt EkeyConnect  \n") + kConnectLog +
                "OB_AsymmetricEncrypt {CALG_RSA_SIGN=9216,CALG_RSA_KEYX=41984} Algorithm=0\n");
  EXPECT_EQ(fake::Calls().back(), "XC_DisconnectEkey(17)");
}

TEST_F(AsymmetricTest, DecryptSelectsTheContainerByAlgorithm) {
  struct Case {
    uint32_t alg_id;
    const char *selection;
  };
  for (const Case &c : {Case{CALG_RSA_SIGN, "XC_SetCurContainer(17, 0)"},
                        Case{CALG_RSA_KEYX, "XC_SetCurContainer(17, 1)"}}) {
    fake::Reset();
    fake::QueueOutput("XC_GetContainerParam", Flags(1));
    out_len_ = 7;
    EXPECT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, c.alg_id), 0);
    EXPECT_EQ(fake::Calls()[1], c.selection);
    // The token is told the block size, whatever the caller said.
    EXPECT_EQ(fake::Calls()[3], "XC_RSADecrypt(33, 010203, 3, 128, 1)");
  }
}

TEST_F(AsymmetricTest, DecryptLogsAroundTheOperationAndAfterClosing) {
  fake::QueueOutput("XC_GetContainerParam", Flags(1));
  out_len_ = 9;
  EXPECT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, CALG_RSA_KEYX), 0);
  EXPECT_EQ(env_.ReadLog(),
            std::string("OB_AsymmetricDecrypt EkeyConnect  \n") + kConnectLog +
                "OB_AsymmetricDecrypt {CALG_RSA_SIGN=9216,CALG_RSA_KEYX=41984} Algorithm=41984\n"
                "OB_AsymmetricDecrypt  --------------2\n"
                "OB_AsymmetricDecrypt  XC_GetContainerParam\n"
                "OB_AsymmetricDecrypt  XC_RSADecrypt Start\n"
                "OB_AsymmetricDecrypt hContainer=[33],PartIn=[" +
                PointerText(in_) +
                "],PartInLen=[3],DecryptedDataLen=[9],dwKeyType=[1]"
                "OB_AsymmetricDecrypt  XC_RSADecrypt\n");
}

TEST_F(AsymmetricTest, DecryptRefusesAnUnknownAlgorithmAfterLoggingIt) {
  EXPECT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, out_, &out_len_, in_, 3, 0), -1);
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}));
  EXPECT_EQ(env_.ReadLog(),
            std::string("OB_AsymmetricDecrypt EkeyConnect  \n") + kConnectLog +
                "OB_AsymmetricDecrypt {CALG_RSA_SIGN=9216,CALG_RSA_KEYX=41984} Algorithm=0\n");
}

TEST_F(AsymmetricTest, SignLogsOnlyFailuresWithTheGbkWord) {
  struct Case {
    const char *failing;
    const char *entry;
  };
  const std::string set =
      std::string("OB_AsymmetricSignData XC_SetCurContainer  ") + kFailed + "\n";
  const std::string get =
      std::string("OB_AsymmetricSignData XC_GetContainerParam  ") + kFailed + "\n";
  const std::string sign = std::string("OB_AsymmetricSignData XC_RSASign ") + kFailed + " \n";
  const Case cases[] = {{"XC_SetCurContainer", set.c_str()},
                        {"XC_GetContainerParam", get.c_str()},
                        {"XC_RSASign", sign.c_str()},
                        {nullptr, ""}};
  for (const Case &c : cases) {
    fake::Reset();
    std::remove(env_.log_path().c_str());
    fake::QueueOutput("XC_GetContainerParam", Flags(2));
    if (c.failing != nullptr) fake::QueueStatus(c.failing, 0x60001);
    out_len_ = 0;
    EXPECT_EQ(OB_AsymmetricSignData(nullptr, in_, 3, out_, &out_len_, 0), c.failing ? 0x60001 : 0);
    EXPECT_EQ(env_.ReadLog(), std::string(kConnectLog) + c.entry);
  }
  EXPECT_EQ(fake::Calls()[3], "XC_RSASign(33, 010203, 3, 128, 258)");
}

TEST_F(AsymmetricTest, SignWithoutKeysLogsTheKeyTypeAndFails) {
  fake::QueueOutput("XC_GetContainerParam", Flags(0));
  EXPECT_EQ(OB_AsymmetricSignData(nullptr, in_, 3, out_, &out_len_, 0), -1);
  EXPECT_EQ(env_.ReadLog(), std::string(kConnectLog) + "OB_AsymmetricSignData dwKeyType == 0  \n");
}

TEST_F(AsymmetricTest, SignWithoutTokenLogsTheConnectFailure) {
  env_.RemoveRegistry();
  EXPECT_EQ(OB_AsymmetricSignData(nullptr, in_, 3, out_, &out_len_, 0), 3);
  EXPECT_EQ(env_.ReadLog(), std::string("OB_AsymmetricSignData EkeyConnect  ") + kFailed + "\n");
  EXPECT_EQ(fake::Calls(), Calls({"XC_DisconnectEkey(0)"}));
}

TEST_F(AsymmetricTest, VerifyLogsNothingOfItsOwn) {
  fake::QueueOutput("XC_GetContainerParam", Flags(3));
  out_len_ = 1;
  EXPECT_EQ(OB_AsymmetricVerifySign(nullptr, out_, &out_len_, in_, 3, 0), 0);
  EXPECT_EQ(
      fake::Calls(),
      Calls({"XC_ConnectEkey(7)", "XC_SetCurContainer(17, 0)", "XC_GetContainerParam(33, 2, 4, 0)",
             "XC_RSAEncrypt(33, 010203, 3, 128, 258)", "XC_DisconnectEkey(17)"}));
  EXPECT_EQ(env_.ReadLog(), kConnectLog);
}

TEST_F(AsymmetricTest, NullLengthsAndBuffersAreRefusedBeforeAnySession) {
  EXPECT_EQ(OB_AsymmetricEncrypt(nullptr, 0, 0, out_, nullptr, in_, 3, 0), -1);
  EXPECT_EQ(OB_AsymmetricEncrypt(nullptr, 0, 0, out_, &out_len_, nullptr, 3, 0), -1);
  EXPECT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, out_, nullptr, in_, 3, CALG_RSA_KEYX), -1);
  EXPECT_EQ(OB_AsymmetricDecrypt(nullptr, 0, 0, nullptr, &out_len_, in_, 3, CALG_RSA_KEYX), -1);
  EXPECT_EQ(OB_AsymmetricSignData(nullptr, in_, 3, out_, nullptr, 0), -1);
  EXPECT_EQ(OB_AsymmetricSignData(nullptr, nullptr, 3, out_, &out_len_, 0), -1);
  EXPECT_EQ(OB_AsymmetricVerifySign(nullptr, nullptr, &out_len_, in_, 3, 0), -1);
  EXPECT_EQ(OB_AsymmetricVerifySign(nullptr, out_, nullptr, in_, 3, 0), -1);
  EXPECT_TRUE(fake::Calls().empty());
}

}  // namespace

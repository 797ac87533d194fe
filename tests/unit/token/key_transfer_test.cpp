// Public-key export, public-key check and private-key import.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_token.h"
#include "fake_token_test.h"
#include "hex.h"
#include "obkey.h"
#include "pvk_blob.h"

namespace {

using Calls = std::vector<std::string>;
using obkey::test::Hex;

constexpr char kConnectLog[] = "XC_ConnectEkey-------begin--\nXC_ConnectEkey-------end--\n";

// A raw public key as the token library delivers it: bit length, exponent,
// then the modulus 0x01, 0x02, ... 0x80 most significant first.
std::vector<uint8_t> RawPublicKey() {
  std::vector<uint8_t> raw = {0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x01};
  for (int i = 1; i <= 128; ++i) raw.push_back(static_cast<uint8_t>(i));
  return raw;
}

using KeyTransferTest = obkey_test::FakeTokenTest;

TEST_F(KeyTransferTest, ExportedBlobCarriesTheFixedHeaderAndTheReversedModulus) {
  struct Case {
    const char *key_name;
    const char *selection;
    const char *read;
  };
  const Case cases[] = {
      {"ANY\\01", "XC_SetCurContainer(17, 1)", "XC_ReadRSAPubKey(33, 512, 1)"},
      {"X\\02", "XC_SetCurContainer(17, 1)", "XC_ReadRSAPubKey(33, 512, 1)"},
      {"a\\b\\03", "XC_SetCurContainer(17, 0)", "XC_ReadRSAPubKey(33, 512, 2)"},
      {"\\04", "XC_SetCurContainer(17, 0)", "XC_ReadRSAPubKey(33, 512, 2)"},
  };
  const uint8_t header[20] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x52, 0x53,
                              0x41, 0x31, 0x00, 0x04, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
  for (const Case &c : cases) {
    fake::Reset();
    fake::QueueOutput("XC_ReadRSAPubKey", RawPublicKey());
    std::string name = c.key_name;
    DataBlob key_name{0, reinterpret_cast<uint8_t *>(name.data())};
    std::vector<uint8_t> out(300, 0xEE);
    DataBlob blob{300, out.data()};
    ASSERT_EQ(OB_ExportPublicKey(&key_name, &blob), 0);
    EXPECT_EQ(blob.cbData, 148u);
    EXPECT_TRUE(std::equal(header, header + 20, out.begin()));
    for (int i = 0; i < 128; ++i) EXPECT_EQ(out[20 + i], 128 - i);
    EXPECT_EQ(out[148], 0xEE);  // nothing past the blob
    EXPECT_EQ(fake::Calls(),
              Calls({"XC_ConnectEkey(7)", c.selection, c.read, "XC_DisconnectEkey(17)"}));
  }
}

TEST_F(KeyTransferTest, ExportWithoutRoomAnswersTheSize) {
  std::string name_text = "K\\03";
  DataBlob key_name{0, reinterpret_cast<uint8_t *>(name_text.data())};
  std::vector<uint8_t> out(147, 0xEE);
  for (const DataBlob &asked : {DataBlob{0, nullptr}, DataBlob{147, out.data()}}) {
    const DataBlob *names[] = {nullptr, &key_name};
    for (const DataBlob *name : names) {
      DataBlob blob = asked;
      EXPECT_EQ(OB_ExportPublicKey(name, &blob), 0);
      EXPECT_EQ(blob.cbData, 148u);
    }
  }
  EXPECT_EQ(out, std::vector<uint8_t>(147, 0xEE));
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(KeyTransferTest, ExportRefusesKeyNamesWithoutAPairDigit) {
  std::vector<uint8_t> out(148);
  DataBlob blob{148, out.data()};
  for (const char *bad : {"", "NOBACKSLASH", "K\\0", "K\\", "K\\01\\"}) {
    std::string name = bad;
    DataBlob key_name{0, reinterpret_cast<uint8_t *>(name.data())};
    EXPECT_EQ(OB_ExportPublicKey(&key_name, &blob), -1) << bad;
  }
  DataBlob no_text{4, nullptr};
  EXPECT_EQ(OB_ExportPublicKey(&no_text, &blob), -1);
  EXPECT_TRUE(fake::Calls().empty());

  std::string name = "K\\05";
  DataBlob key_name{0, reinterpret_cast<uint8_t *>(name.data())};
  EXPECT_EQ(OB_ExportPublicKey(&key_name, &blob), -1);
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}));
}

TEST_F(KeyTransferTest, PublicKeyImportOnlySelectsTheContainer) {
  uint8_t key[3] = {1, 2, 3};
  DataBlob public_key{3, key};
  EXPECT_EQ(OB_ImportPublicKey(&public_key, 2, 0), 0);
  EXPECT_EQ(fake::Calls(),
            Calls({"XC_ConnectEkey(7)", "XC_SetCurContainer(17, 0)", "XC_DisconnectEkey(17)"}));
  EXPECT_EQ(env_.ReadLog(), std::string("OB_ImportPublicKey --------  Begin\n") + kConnectLog +
                                "XC_SetCurContainer --------  Begin\n"
                                "XC_SetCurContainer --------  end\n"
                                "OB_ImportPublicKey --------  End\n");
}

TEST_F(KeyTransferTest, PublicKeyImportFailuresLogWhereTheyStopped) {
  uint8_t key[3] = {1, 2, 3};
  DataBlob public_key{3, key};
  EXPECT_EQ(OB_ImportPublicKey(&public_key, 3, 0), -1);
  EXPECT_EQ(env_.ReadLog(), std::string("OB_ImportPublicKey --------  Begin\n") + kConnectLog +
                                "XC_SetCurContainer --------  fail--\n");
  std::remove(env_.log_path().c_str());
  env_.RemoveRegistry();
  EXPECT_EQ(OB_ImportPublicKey(&public_key, 1, 0), 3);
  EXPECT_EQ(env_.ReadLog(),
            "OB_ImportPublicKey --------  Begin\n"
            "XC_DisconnectEkey --------  Begin\n"
            "XC_DisconnectEkey --------  end\n");
  DataBlob empty{0, key};
  EXPECT_EQ(OB_ImportPublicKey(&empty, 1, 0), -1);
  EXPECT_EQ(OB_ImportPublicKey(nullptr, 1, 0), -1);
}

// A 1024-bit private-key blob with arbitrary but well-formed parts.
std::vector<uint8_t> PrivateKeyBlob() {
  std::vector<uint8_t> blob = {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R',  'S',
                               'A',  '2',  0x00, 0x04, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
  for (int i = 0; i < 128 * 2 + 64 * 5; ++i) blob.push_back(static_cast<uint8_t>(i * 7 + 1));
  return blob;
}

TEST_F(KeyTransferTest, PrivateKeyImportWritesTheDerForm) {
  std::vector<uint8_t> blob_bytes = PrivateKeyBlob();
  DataBlob blob{static_cast<uint32_t>(blob_bytes.size()), blob_bytes.data()};
  std::vector<uint8_t> der(obkey::kPvkDerCapacity);
  uint32_t der_len = 0;
  ASSERT_EQ(obkey::PvkBlobASN1Encode(blob.pbData, blob.cbData, &der_len, der.data()), 1);
  der.resize(der_len);
  int handle = 0;
  for (uint32_t key_type : {1u, 2u}) {
    fake::Reset();
    std::remove(env_.log_path().c_str());
    EXPECT_EQ(OB_ImportPrivateKey(&handle, &blob, key_type, 0, 0), 0);
    std::string slot = key_type == 1 ? "1" : "0";
    EXPECT_EQ(fake::Calls(),
              Calls({"XC_ConnectEkey(7)", "XC_SetCurContainer(17, " + slot + ")",
                     "XC_WriteRSAKey(33, 0, 0, " + Hex(der) + ", " + std::to_string(der_len) +
                         ", " + std::to_string(key_type) + ")",
                     "XC_DisconnectEkey(17)"}));
  }
  EXPECT_EQ(env_.ReadLog(), std::string("OB_ImportPrivateKey --------  Begin\n"
                                        "PvkBlobASN1Encode --------  Begin\n"
                                        "PvkBlobASN1Encode --------  end\n") +
                                kConnectLog +
                                "XC_SetCurContainer --------  Begin\n"
                                "XC_SetCurContainer --------  end\n"
                                "XC_WriteRSAKey --------  begin\n"
                                "XC_WriteRSAKey --------  end\n"
                                "OB_ImportPrivateKey --------  end\n");
}

TEST_F(KeyTransferTest, PrivateKeyImportRefusesWhatDoesNotConvert) {
  std::vector<uint8_t> blob_bytes = PrivateKeyBlob();
  DataBlob short_blob{static_cast<uint32_t>(blob_bytes.size() - 1), blob_bytes.data()};
  int handle = 0;
  EXPECT_EQ(OB_ImportPrivateKey(&handle, &short_blob, 2, 0, 0), -1);
  EXPECT_EQ(env_.ReadLog(),
            "OB_ImportPrivateKey --------  Begin\n"
            "PvkBlobASN1Encode --------  Begin\n"
            "PvkBlobASN1Encode --------  end\n"
            "PvkBlobASN1Encode --------  fail\n");
  DataBlob blob{static_cast<uint32_t>(blob_bytes.size()), blob_bytes.data()};
  EXPECT_EQ(OB_ImportPrivateKey(nullptr, &blob, 2, 0, 0), -1);
  EXPECT_EQ(OB_ImportPrivateKey(&handle, nullptr, 2, 0, 0), -1);
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_EQ(OB_ImportPrivateKey(&handle, &blob, 3, 0, 0), -1);
  EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}));
}

}  // namespace

// The two user certificates, the fixed properties and enumeration.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cert_enumeration.h"
#include "fake_token.h"
#include "fake_token_test.h"
#include "obkey.h"

namespace {

using Calls = std::vector<std::string>;

using CertTest = obkey_test::FakeTokenTest;

TEST_F(CertTest, ImportAndExportUseTheContainerAndKeySpecOfTheKeyType) {
  uint8_t der[] = {0x30, 0x82};
  struct Case {
    uint32_t key_type;
    Calls import_calls, export_calls;
  };
  const Case cases[] = {
      {1,
       {"XC_SetCurContainer(17, 1)", "XC_WriteCert(33, 3082, 2, 1)"},
       {"XC_SetCurContainer(17, 1)", "XC_ReadCert(33, 64, 1)"}},
      {2,
       {"XC_SetCurContainer(17, 0)", "XC_WriteCert(33, 3082, 2, 2)"},
       {"XC_SetCurContainer(17, 0)", "XC_ReadCert(33, 64, 2)"}},
      {3, {}, {}},
  };
  for (const Case &c : cases) {
    auto in_session = [](Calls calls) {
      calls.insert(calls.begin(), "XC_ConnectEkey(7)");
      calls.push_back("XC_DisconnectEkey(17)");
      return calls;
    };
    fake::Reset();
    DataBlob cert{sizeof(der), der};
    EXPECT_EQ(OBCERT_ImportCert(0, &cert, 0, 0, 0, c.key_type), 0);
    EXPECT_EQ(fake::Calls(), in_session(c.import_calls)) << c.key_type;

    fake::Reset();
    fake::QueueOutput("XC_ReadCert", {1, 2, 3});
    std::vector<uint8_t> buffer(64, 0xEE);
    DataBlob out{64, buffer.data()};
    EXPECT_EQ(OBCERT_ExportCert(&out, 0, &c.key_type), 0);
    EXPECT_EQ(fake::Calls(), in_session(c.export_calls)) << c.key_type;
    EXPECT_EQ(out.cbData, c.key_type == 3 ? 64u : 3u);
    EXPECT_EQ(buffer[0], c.key_type == 3 ? 0xEE : 1);
  }
}

TEST_F(CertTest, TokenFailuresPassThroughAfterDisconnecting) {
  uint8_t byte = 0;
  DataBlob blob{1, &byte};
  const uint32_t key_type = 2;
  for (const char *failing : {"XC_SetCurContainer", "XC_WriteCert", "XC_ReadCert"}) {
    fake::Reset();
    fake::QueueStatus(failing, 0x6A82);
    int32_t status = std::strcmp(failing, "XC_WriteCert") == 0
                         ? OBCERT_ImportCert(0, &blob, 0, 0, 0, key_type)
                         : OBCERT_ExportCert(&blob, 0, &key_type);
    EXPECT_EQ(status, 0x6A82) << failing;
    Calls calls = fake::Calls();
    EXPECT_EQ(calls.back(), "XC_DisconnectEkey(17)") << failing;
    // A failed certificate read is not retried with the other key spec.
    EXPECT_EQ(calls.size(), std::string(failing) == "XC_SetCurContainer" ? 3u : 4u) << failing;
  }
  env_.RemoveRegistry();
  fake::Reset();
  EXPECT_EQ(OBCERT_ImportCert(0, &blob, 0, 0, 0, 1), OB_E_NO_SESSION);
  EXPECT_EQ(OBCERT_ExportCert(&blob, 0, &key_type), OB_E_NO_SESSION);
  EXPECT_EQ(fake::Calls(), Calls({"XC_DisconnectEkey(0)", "XC_DisconnectEkey(0)"}));
}

TEST_F(CertTest, SizeQueryAndNullArgumentsNeverReachTheToken) {
  // The size query never reads the key type, not even its pointer.
  const uint32_t key_type = 1;
  for (const uint32_t *key_type_pointer : {&key_type, static_cast<const uint32_t *>(nullptr)}) {
    DataBlob query{5, nullptr};
    EXPECT_EQ(OBCERT_ExportCert(&query, 0, key_type_pointer), 0);
    EXPECT_EQ(query.cbData, OB_CERT_SIZE_HINT);
  }
  uint8_t byte = 0;
  DataBlob null_bytes{1, nullptr}, blob{1, &byte};
  for (uint32_t key_type_of_import : {1u, 2u}) {
    EXPECT_EQ(OBCERT_ImportCert(0, nullptr, 0, 0, 0, key_type_of_import), OB_E_ARGUMENT);
    EXPECT_EQ(OBCERT_ImportCert(0, &null_bytes, 0, 0, 0, key_type_of_import), OB_E_ARGUMENT);
  }
  EXPECT_EQ(OBCERT_ExportCert(nullptr, 0, &key_type), OB_E_ARGUMENT);
  EXPECT_EQ(OBCERT_ExportCert(&blob, 0, nullptr), OB_E_ARGUMENT);
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_FALSE(env_.LogExists());
}

TEST_F(CertTest, ImportReadsTheRecordOnlyForTheTwoKeyTypes) {
  // Other key types open and close a session and succeed without looking at
  // the record; an empty record of the two key types reaches the token.
  DataBlob empty{0, nullptr};
  struct Case {
    uint32_t key_type;
    const DataBlob *record;
    Calls calls;
  };
  const Case cases[] = {
      {3, nullptr, {"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}},
      {0, &empty, {"XC_ConnectEkey(7)", "XC_DisconnectEkey(17)"}},
      {2,
       &empty,
       {"XC_ConnectEkey(7)", "XC_SetCurContainer(17, 0)", "XC_WriteCert(33, null, 0, 2)",
        "XC_DisconnectEkey(17)"}},
  };
  for (const Case &c : cases) {
    fake::Reset();
    EXPECT_EQ(OBCERT_ImportCert(0, c.record, 0, 0, 0, c.key_type), 0) << c.key_type;
    EXPECT_EQ(fake::Calls(), c.calls) << c.key_type;
  }
}

TEST_F(CertTest, PropertiesAreFixedAndShortBuffersOnlyLearnTheLength) {
  struct Case {
    uint32_t number, id, len;
    bool with_buffer;
    int32_t status;
    uint32_t len_after;
    std::vector<uint8_t> written;
  };
  const Case cases[] = {
      {1, 0, 8, true, 0, 8, {'o', 'r', 'b', 'i', 's', 'o', 'f', 't'}},
      {1, 0, 7, true, 0, 8, {}},
      {1, 0, 99, false, 0, 8, {}},
      {1, 1, 5, true, 0, 5, {}},
      {1, 1, 5, false, 0, 0, {}},
      {1, 5, 4, true, 0, 4, {1, 0, 0, 0}},
      {3, 5, 16, true, 0, 4, {2, 0, 0, 0}},
      {2, 5, 3, true, 0, 4, {}},
      {1, 2, 8, true, OBCERT_E_PROPERTY, 8, {}},
  };
  for (const Case &c : cases) {
    CertRef ref{c.number, 0};
    std::vector<uint8_t> buffer(16, 0xEE);
    uint32_t len = c.len;
    EXPECT_EQ(OBCERT_GetCertProperty(&ref, c.id, c.with_buffer ? buffer.data() : nullptr, &len),
              c.status);
    EXPECT_EQ(len, c.len_after) << c.id << "/" << c.len;
    std::vector<uint8_t> expected = c.written;
    expected.resize(16, 0xEE);
    EXPECT_EQ(buffer, expected) << c.id << "/" << c.len;
  }
  uint32_t len = 4;
  EXPECT_EQ(OBCERT_GetCertProperty(nullptr, 0, nullptr, &len), 0);
  EXPECT_EQ(OBCERT_GetCertProperty(nullptr, 5, nullptr, &len), OB_E_ARGUMENT);
  EXPECT_TRUE(fake::Calls().empty());
}

// Enumeration with the count byte `count` on the token.
int32_t Enumerate(uint8_t count, uint32_t number, CertRef *ref, obkey::EnumToggle &toggle) {
  fake::Reset();
  fake::QueueOutput("XC_GetEkeyParam", {count, 9, 9});
  return obkey::EnumerateCertificate("MY", number, ref, toggle);
}

TEST_F(CertTest, EnumerationFoldsEveryRefusalIntoTen) {
  struct Case {
    uint8_t count;
    uint32_t number, tag;
    int32_t status;
    uint32_t number_after;
  };
  const Case cases[] = {
      {0, 1, 0, OBCERT_E_NO_CERT, 77}, {1, 0, 0, OBCERT_E_NO_CERT, 77},
      {4, 5, 1, OBCERT_E_NO_CERT, 77}, {1, 4, 0, 0, 4},
      {2, 3, 1, OBCERT_E_NO_CERT, 77}, {255, 4, 1, 0, 77},
  };
  for (const Case &c : cases) {
    obkey::EnumToggle toggle;
    CertRef ref{77, c.tag};
    EXPECT_EQ(Enumerate(c.count, c.number, &ref, toggle), c.status) << c.count << "/" << c.number;
    EXPECT_EQ(ref.number, c.number_after);
    EXPECT_EQ(ref.tag, c.tag);
    EXPECT_EQ(fake::Calls(), Calls({"XC_ConnectEkey(7)", "XC_GetEkeyParam(17, 8, 200, 0)",
                                    "XC_DisconnectEkey(17)"}));
    // Only a delivered nonzero-tag call moves the toggle.
    EXPECT_EQ(toggle.value(), c.tag != 0 && c.status == 0 ? 1u : 0u);
  }
  fake::Reset();
  fake::QueueStatus("XC_GetEkeyParam", 0x6F00);
  CertRef ref{0, 0};
  EXPECT_EQ(OBCERT_EnumCertInStore("MY", 1, &ref, 0), OBCERT_E_NO_CERT);
  EXPECT_EQ(fake::Calls().back(), "XC_DisconnectEkey(17)");
  env_.RemoveRegistry();
  fake::Reset();
  EXPECT_EQ(OBCERT_EnumCertInStore("MY", 1, &ref, 0), OBCERT_E_NO_CERT);
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(CertTest, TaggedEnumerationAlternatesAndUntaggedCallsLeaveTheToggle) {
  obkey::EnumToggle toggle;
  CertRef tagged{0, 1}, fresh{0, 0};
  std::vector<int32_t> answers;
  for (int i = 0; i < 4; ++i) {
    answers.push_back(Enumerate(2, 2, &tagged, toggle));
    EXPECT_EQ(Enumerate(2, 1, &fresh, toggle), 0);
    EXPECT_EQ(Enumerate(2, 3, &tagged, toggle), OBCERT_E_NO_CERT);
  }
  EXPECT_EQ(answers, std::vector<int32_t>({0, 10, 0, 10}));

  // The export shares one toggle across store names and numbers.
  std::vector<int32_t> expected, seen;
  for (const char *store : {"MY", "CA", "ROOT", ""}) {
    expected.push_back(obkey::ProcessEnumToggle().value() == 0 ? 0 : OBCERT_E_NO_CERT);
    fake::QueueOutput("XC_GetEkeyParam", {4});
    seen.push_back(OBCERT_EnumCertInStore(store, seen.size() % 2 + 1, &tagged, 0));
  }
  EXPECT_EQ(seen, expected);
  EXPECT_NE(seen[0], seen[1]);
}

// Threads enumerating at once share one alternation: every flip is seen by
// the next, so exactly half of all flips deliver.
TEST(EnumToggleTest, ThreadsFlippingAtOnceShareOneAlternation) {
  obkey::EnumToggle toggle;
  constexpr int kThreads = 4, kFlips = 500000;
  std::atomic<int> delivered{0}, ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      // All start together, so that their flips overlap.
      for (++ready; ready.load() < kThreads;) std::this_thread::yield();
      int mine = 0;
      for (int i = 0; i < kFlips; ++i) mine += toggle.Flip() ? 1 : 0;
      delivered += mine;
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(delivered.load(), kThreads * kFlips / 2);
  EXPECT_EQ(toggle.value(), 0u);
}

TEST_F(CertTest, StoreNameLongerThanSixteenBytesShowsTheBoxWithoutSession) {
  CertRef ref{0, 0};
  fake::QueueOutput("XC_GetEkeyParam", {1});
  EXPECT_EQ(OBCERT_EnumCertInStore("0123456789abcdef", 1, &ref, 0), 0);
  EXPECT_EQ(fake::Calls().size(), 3u);
  fake::Reset();
  testing::internal::CaptureStderr();
  EXPECT_EQ(OBCERT_EnumCertInStore("0123456789abcdefg", 1, &ref, 0), OB_E_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: \xc3\xdc\xd4\xbf\xbf\xe2\xc3\xfb\xb3\xac\xb9\xfd"
            "16\xd7\xd6\xbd\xda\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(OBCERT_EnumCertInStore(nullptr, 1, &ref, 0), OB_E_ARGUMENT);
  EXPECT_EQ(OBCERT_EnumCertInStore("MY", 1, nullptr, 0), OB_E_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(fake::Calls().empty());
}

}  // namespace

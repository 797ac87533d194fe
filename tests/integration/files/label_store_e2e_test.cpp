// Labels and certificates on the software token, written and read by
// separate processes through the real library.
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "obkey.h"
#include "softtoken_status.h"
#include "token_backend.h"
#include "token_test_env.h"
#include "xcsp_eclib.h"

extern char **environ;

namespace {

constexpr int32_t kDevice = 3;

class LabelStoreE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::PrepareTestTokens(env_.folder()));
    ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
    ASSERT_EQ(OBCA_Login(1, "12345678"), 0);
  }

  // Starts the client with `args`; Wait collects its exit code.
  pid_t Start(const std::vector<std::string> &args) {
    std::vector<char *> argv{const_cast<char *>(LABEL_STORE_CLIENT)};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, LABEL_STORE_CLIENT, nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }
  static int Wait(pid_t pid) {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus)) return -1;
    return WEXITSTATUS(wstatus);
  }

  static std::set<std::string> Labels() {
    uint8_t list[200] = {};
    uint32_t count = 0;
    EXPECT_EQ(OBCA_ReadLabelList(0, list, &count), 0);
    std::set<std::string> labels;
    for (uint32_t i = 0; i < count; ++i) labels.insert(reinterpret_cast<char *>(list + 20 * i));
    return labels;
  }
  static std::string Read(const char *label, uint32_t store_selector = 0) {
    uint8_t out[256] = {};
    uint32_t len = sizeof(out);
    int32_t status = OBCA_ExportFile(label, store_selector, out, &len);
    return status == 0 ? std::string(reinterpret_cast<char *>(out), len)
                       : "status " + std::to_string(status);
  }

  obkey_test::TokenTestEnv env_{obkey_test::DeviceValue(kDevice)};
};

TEST_F(LabelStoreE2eTest, LabelsSurviveTheProcessThatWroteThem) {
  ASSERT_EQ(Wait(Start({"import", "first=one", "second=two", "first=replaced, longer"})), 0);
  EXPECT_EQ(Labels(), std::set<std::string>({"first", "second"}));
  EXPECT_EQ(Read("first"), "replaced, longer");
  EXPECT_EQ(OBCA_DeleteFile("second", 0), 0);
  const uint8_t third[] = {'3'};
  EXPECT_EQ(OBCA_ImportFile("third", 0, third, 1), 0);
  EXPECT_EQ(Wait(Start({"expect", "first=replaced, longer", "third=3"})), 0);
  EXPECT_EQ(Read("second"), "status -1");
}

TEST_F(LabelStoreE2eTest, ConcurrentImportersLoseNoLabel) {
  std::vector<std::string> a{"import"}, b{"import"};
  for (int i = 0; i < 5; ++i) {
    a.push_back("a" + std::to_string(i) + "=from a " + std::to_string(i));
    b.push_back("b" + std::to_string(i) + "=from b " + std::to_string(i));
  }
  pid_t pa = Start(a), pb = Start(b);
  EXPECT_EQ(Wait(pa), 0);
  EXPECT_EQ(Wait(pb), 0);
  std::set<std::string> labels = Labels();
  EXPECT_EQ(labels.size(), 10u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Read(("a" + std::to_string(i)).c_str()), "from a " + std::to_string(i));
    EXPECT_EQ(Read(("b" + std::to_string(i)).c_str()), "from b " + std::to_string(i));
  }
  const uint8_t one[] = {1};
  EXPECT_EQ(OBCA_ImportFile("eleventh", 0, one, 1), OB_E_ARGUMENT);
  EXPECT_EQ(Labels(), labels);
}

// A buffer shorter than the file is never filled in part and called a
// success: the token library refuses it with the length that fits, and
// obkey returns that refusal. A label directory file longer than the
// directory (made by another client) still serves.
TEST_F(LabelStoreE2eTest, AShortReadIsRefusedWithTheLengthItNeeds) {
  XcHandle session = 0, dir = 0;
  ASSERT_EQ(XC_ConnectEkey(kDevice, &session), 0);
  ASSERT_EQ(XC_CreateUserFile(session, 1, 400, XC_USER_FILE_CREATE, &dir), 0);
  ASSERT_EQ(XC_DisconnectEkey(session), 0);
  const std::string hello = "hello, token";
  ASSERT_EQ(OBCA_ImportFile("greeting", 0, reinterpret_cast<const uint8_t *>(hello.data()),
                            static_cast<uint32_t>(hello.size())),
            0);
  const uint32_t size = static_cast<uint32_t>(hello.size());
  const struct {
    uint32_t capacity;
    int32_t status;
    uint32_t len_after;
  } cases[] = {
      {size - 1, XCST_BUFFER_TOO_SMALL, size},
      {4, XCST_BUFFER_TOO_SMALL, size},
      {0, XCST_BUFFER_TOO_SMALL, size},
      {size, 0, size},
      {size + 20, 0, size},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.capacity);
    uint8_t out[64];
    std::memset(out, 0xEE, sizeof(out));
    uint32_t len = c.capacity;
    EXPECT_EQ(OBCA_ExportFile("greeting", 0, out, &len), c.status);
    EXPECT_EQ(len, c.len_after);
    if (c.status == 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char *>(out), len), hello);
    } else {
      EXPECT_EQ(out[0], 0xEE) << "a refused read wrote into the buffer";
    }
  }
  EXPECT_EQ(Labels(), std::set<std::string>({"greeting"}));

  // A certificate read through its reserved label: the short buffer is the
  // cause, not the other key specification's missing certificate.
  XcHandle container = 0;
  ASSERT_EQ(XC_ConnectEkey(kDevice, &session), 0);
  ASSERT_EQ(XC_CreateContainer(session, "E2E_SIG", &container, XC_CONTAINER_CREATE), 0);
  ASSERT_EQ(XC_DisconnectEkey(session), 0);
  DataBlob cert{size, reinterpret_cast<uint8_t *>(const_cast<char *>(hello.data()))};
  ASSERT_EQ(OBCERT_ImportCert(0, &cert, 0, 0, 0, 2), 0);
  uint8_t out[8];
  uint32_t len = sizeof(out);
  EXPECT_EQ(OBCA_ExportFile("LAB_USERCERT_SIG", 1, out, &len), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, size);
}

TEST_F(LabelStoreE2eTest, CertificatesAreReachedThroughTheReservedLabels) {
  // The containers come from whoever set the token up; here, the test.
  XcHandle session = 0, container = 0;
  ASSERT_EQ(XC_ConnectEkey(kDevice, &session), 0);
  ASSERT_EQ(XC_CreateContainer(session, "E2E_SIG", &container, XC_CONTAINER_CREATE), 0);
  ASSERT_EQ(XC_CreateContainer(session, "E2E_ENC", &container, XC_CONTAINER_CREATE), 0);
  ASSERT_EQ(XC_DisconnectEkey(session), 0);

  std::string sig = "signature certificate", enc = "exchange certificate";
  DataBlob sig_blob{static_cast<uint32_t>(sig.size()), reinterpret_cast<uint8_t *>(sig.data())};
  DataBlob enc_blob{static_cast<uint32_t>(enc.size()), reinterpret_cast<uint8_t *>(enc.data())};
  ASSERT_EQ(OBCERT_ImportCert(0, &sig_blob, 0, 0, 0, 2), 0);
  ASSERT_EQ(OBCERT_ImportCert(0, &enc_blob, 0, 0, 0, 1), 0);
  EXPECT_EQ(Read("LAB_USERCERT_SIG", 1), sig);
  EXPECT_EQ(Read("LAB_USERCERT_ENC", 1), enc);
  // Store selector 0 answers from labelled files, of which there are none.
  EXPECT_EQ(Read("LAB_USERCERT_SIG", 0), "status -1");
  EXPECT_TRUE(Labels().empty());

  uint8_t out[64] = {};
  DataBlob back{sizeof(out), out};
  const uint32_t key_type = 1;
  EXPECT_EQ(OBCERT_ExportCert(&back, 0, &key_type), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), back.cbData), enc);
}

}  // namespace

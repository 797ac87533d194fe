// Containers: the two slots, their names and parameters, over every token
// library.
#include "behaviour_fixture.h"

namespace obkey_behaviour {
namespace {

TEST_F(TokenBehaviour, ContainersAreCreatedIntoTheirSlotAndOpenedByName) {
  NEEDS_CONTAINERS_AND_FILES();
  // Creating needs no login, where the backend makes objects without one.
  if (backend_->objects_need_login) {
    ASSERT_EQ(Login(), 0);
  }
  std::string longest(47, 'n'), too_long(48, 'n');
  struct Case {
    const char *what;
    const char *name;
    uint32_t mode;
    int32_t status;
    uint32_t slot;  // when created or opened
  } cases[] = {
      {"open before any exists", "A_SIG", XC_CONTAINER_OPEN, XCST_CONTAINER_NOT_FOUND, 0},
      {"SIG goes to slot 0", "A_SIG", XC_CONTAINER_CREATE, 0, 0},
      {"slot 0 taken", "B_SIG", XC_CONTAINER_CREATE, XCST_CONTAINER_EXISTS, 0},
      {"sig is not SIG", "a_sig", XC_CONTAINER_CREATE, 0, 1},
      {"slot 1 taken", longest.c_str(), XC_CONTAINER_CREATE, XCST_CONTAINER_EXISTS, 1},
      {"open slot 0 by name", "A_SIG", XC_CONTAINER_OPEN, 0, 0},
      {"open slot 1 by name", "a_sig", XC_CONTAINER_OPEN, 0, 1},
      {"names compare exactly", "A_SIG ", XC_CONTAINER_OPEN, XCST_CONTAINER_NOT_FOUND, 0},
      {"empty name", "", XC_CONTAINER_CREATE, XCST_BAD_CONTAINER_NAME, 0},
      {"48 bytes", too_long.c_str(), XC_CONTAINER_OPEN, XCST_BAD_CONTAINER_NAME, 0},
      {"mode 3", "A_SIG", 3, XCST_BAD_MODE, 0},
  };
  for (const Case &c : cases) {
    XcHandle container = 0;
    ASSERT_EQ(xc_.CreateContainer(session_, c.name, &container, c.mode), c.status) << c.what;
    if (c.status != 0) continue;
    XcHandle by_slot = 0;
    ASSERT_EQ(xc_.SetCurContainer(session_, c.slot, &by_slot), 0) << c.what;
    EXPECT_EQ(container, by_slot) << c.what;
  }
  XcHandle container = 0;
  EXPECT_EQ(xc_.CreateContainer(session_, nullptr, &container, 2), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.CreateContainer(session_, "X", nullptr, 2), XCST_BAD_ARGUMENT);
  container = 0x1234;  // nothing is written on a failure
  EXPECT_EQ(xc_.SetCurContainer(session_, 2, &container), XCST_BAD_SLOT);
  EXPECT_EQ(xc_.CreateContainer(session_, "C_SIG", &container, XC_CONTAINER_OPEN),
            XCST_CONTAINER_NOT_FOUND);
  EXPECT_EQ(container, 0x1234u);
  EXPECT_EQ(xc_.SetCurContainer(session_, 0, nullptr), XCST_BAD_ARGUMENT);
  // Both stay for the next connections, whole.
  Reconnect();
  if (backend_->objects_need_login) {
    ASSERT_EQ(Login(), 0);
  }
  const char *names[] = {"A_SIG", "a_sig"};
  for (uint32_t slot : {0u, 1u}) {
    uint8_t name[XC_CONTAINER_NAME_SIZE];
    uint32_t len = sizeof(name);
    ASSERT_EQ(xc_.SetCurContainer(session_, slot, &container), 0) << slot;
    ASSERT_EQ(xc_.GetContainerParam(container, XC_CONTAINER_PARAM_NAME, name, &len, 0), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(name), names[slot]);
  }
}

TEST_F(TokenBehaviour, ContainerParametersGiveTheNameAndThePairsPresent) {
  NEEDS_CONTAINERS_AND_FILES();
  XcHandle container = NewContainer("PARAM_ENC"), empty = 0;
  EXPECT_EQ(xc_.SetCurContainer(session_, XC_SLOT_SIGNATURE, &empty), XCST_CONTAINER_NOT_FOUND);
  uint8_t name[XC_CONTAINER_NAME_SIZE + 4];
  std::memset(name, 0xEE, sizeof(name));
  uint32_t len = XC_CONTAINER_NAME_SIZE - 1;
  EXPECT_EQ(xc_.GetContainerParam(container, 1, name, &len, 0), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_CONTAINER_NAME_SIZE);
  EXPECT_EQ(name[0], 0xEE);
  len = sizeof(name);
  EXPECT_EQ(xc_.GetContainerParam(container, 1, nullptr, &len, 0), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_CONTAINER_NAME_SIZE);
  EXPECT_EQ(xc_.GetContainerParam(container, 1, name, nullptr, 0), XCST_BAD_ARGUMENT);
  ASSERT_EQ(xc_.GetContainerParam(container, 1, name, &len, 0), 0);
  EXPECT_EQ(len, XC_CONTAINER_NAME_SIZE);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(name), XC_CONTAINER_NAME_SIZE),
            std::string("PARAM_ENC") + std::string(XC_CONTAINER_NAME_SIZE - 9, '\0'));
  EXPECT_EQ(name[XC_CONTAINER_NAME_SIZE], 0xEE);

  auto flags = [&] {
    uint32_t value = 0xFFFFFFFF, value_len = sizeof(value);
    EXPECT_EQ(
        xc_.GetContainerParam(container, 2, reinterpret_cast<uint8_t *>(&value), &value_len, 0), 0);
    EXPECT_EQ(value_len, 4u);
    return value;
  };
  EXPECT_EQ(flags(), 0u);
  uint8_t short_flags[3] = {0xEE, 0xEE, 0xEE};
  len = sizeof(short_flags);
  EXPECT_EQ(xc_.GetContainerParam(container, 2, short_flags, &len, 0), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(Bytes(short_flags, short_flags + 3), Bytes(3, 0xEE));
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(ImportKey(container, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(flags(), XC_FLAG_SIGNATURE_PAIR);
  ASSERT_EQ(ImportKey(container, XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(flags(), XC_FLAG_SIGNATURE_PAIR | XC_FLAG_EXCHANGE_PAIR);
  // The pairs are seen without the login too.
  LogOut();
  EXPECT_EQ(flags(), XC_FLAG_SIGNATURE_PAIR | XC_FLAG_EXCHANGE_PAIR);
  uint32_t value = 0, value_len = sizeof(value);
  EXPECT_EQ(xc_.GetContainerParam(container, 3, reinterpret_cast<uint8_t *>(&value), &value_len, 0),
            XCST_BAD_PARAM);
}

// A format leaves nothing behind: a container made again under an old name
// finds no key pair, certificate or file of before.
TEST_F(TokenBehaviour, AFormatErasesContainersKeysCertificatesAndFiles) {
  NEEDS_CONTAINERS_AND_FILES();
  ASSERT_EQ(Login(), 0);
  XcHandle sig = NewContainer("ERASE_SIG"), enc = NewContainer("ERASE_ENC"), file = 0;
  ASSERT_EQ(ImportKey(sig, XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(ImportKey(enc, XC_KEY_EXCHANGE), 0);
  const uint8_t cert[] = {0x30, 0x03, 0x02, 0x01, 0x07};
  ASSERT_EQ(xc_.WriteCert(sig, cert, sizeof(cert), XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(xc_.CreateUserFile(session_, 3, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(xc_.DisconnectEkey(session_), 0);
  session_ = 0;
  ASSERT_EQ(Format(kDevice), 0);
  ASSERT_EQ(xc_.ConnectEkey(kDevice, &session_), 0);
  ASSERT_EQ(Login(), 0);
  for (uint32_t slot : {0u, 1u}) {
    EXPECT_EQ(xc_.SetCurContainer(session_, slot, &sig), XCST_CONTAINER_NOT_FOUND) << slot;
  }
  EXPECT_EQ(xc_.CreateUserFile(session_, 3, 4, XC_USER_FILE_OPEN, &file), XCST_FILE_NOT_FOUND);
  sig = NewContainer("ERASE_SIG");
  uint8_t out[4096];
  uint32_t len = sizeof(uint32_t), flags = 0xFF;
  ASSERT_EQ(xc_.GetContainerParam(sig, 2, reinterpret_cast<uint8_t *>(&flags), &len, 0), 0);
  EXPECT_EQ(flags, 0u);
  len = sizeof(out);
  EXPECT_EQ(xc_.ReadCert(sig, out, &len, XC_KEY_SIGNATURE), XCST_CERT_NOT_FOUND);
  len = sizeof(out);
  ASSERT_EQ(xc_.GetEkeyParam(session_, 8, out, &len, 0), 0);
  EXPECT_EQ(out[0], 0);
}

}  // namespace
}  // namespace obkey_behaviour

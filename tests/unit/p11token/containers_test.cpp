// Containers of p11token: the two slots kept in one data object, and the
// parameters obkey reads.
#include "p11token_fixture.h"

namespace obkey::p11token::testing {
namespace {

TEST_F(P11TokenTest, ContainersAreCreatedIntoTheirSlotAndOpenedByName) {
  std::string longest(kMaxContainerName, 'n');
  std::string too_long(kMaxContainerName + 1, 'n');
  struct Case {
    const char *what;
    const char *name;
    uint32_t mode;
    int32_t status;
    uint32_t slot;  // when created or opened
  } cases[] = {
      {"open before any exists", "A_SIG", XC_CONTAINER_OPEN, P11ST_CONTAINER_NOT_FOUND, 0},
      {"SIG goes to slot 0", "A_SIG", XC_CONTAINER_CREATE, 0, 0},
      {"slot 0 taken", "B_SIG", XC_CONTAINER_CREATE, P11ST_CONTAINER_EXISTS, 0},
      {"sig is not SIG", "a_sig", XC_CONTAINER_CREATE, 0, 1},
      {"slot 1 taken", longest.c_str(), XC_CONTAINER_CREATE, P11ST_CONTAINER_EXISTS, 1},
      {"open slot 0 by name", "A_SIG", XC_CONTAINER_OPEN, 0, 0},
      {"open slot 1 by name", "a_sig", XC_CONTAINER_OPEN, 0, 1},
      {"names compare exactly", "A_SIG ", XC_CONTAINER_OPEN, P11ST_CONTAINER_NOT_FOUND, 0},
      {"empty name", "", XC_CONTAINER_CREATE, P11ST_BAD_CONTAINER_NAME, 0},
      {"48 bytes", too_long.c_str(), XC_CONTAINER_OPEN, P11ST_BAD_CONTAINER_NAME, 0},
      {"mode 3", "A_SIG", 3, P11ST_BAD_MODE, 0},
  };
  for (const Case &c : cases) {
    XcHandle container = 0;
    ASSERT_EQ(CreateContainer(session_, c.name, &container, c.mode), c.status) << c.what;
    if (c.status != 0) continue;
    XcHandle by_slot = 0;
    ASSERT_EQ(SetCurContainer(session_, c.slot, &by_slot), 0) << c.what;
    EXPECT_EQ(container, by_slot) << c.what;
  }
  XcHandle container = 0;
  EXPECT_EQ(CreateContainer(session_, nullptr, &container, 2), P11ST_BAD_ARGUMENT);
  EXPECT_EQ(CreateContainer(session_, "X", nullptr, 2), P11ST_BAD_ARGUMENT);
  EXPECT_EQ(SetCurContainer(session_, 2, &container), P11ST_BAD_SLOT);
  // The directory is one public data object, and stays one.
  EXPECT_EQ(Objects(CKO_DATA, kContainersLabel).size(), 1u);
}

TEST_F(P11TokenTest, ContainerParametersGiveTheNameAndThePairsPresent) {
  XcHandle container = NewContainer("PARAM_ENC");
  XcHandle empty = 0;
  EXPECT_EQ(SetCurContainer(session_, 0, &empty), P11ST_CONTAINER_NOT_FOUND);

  uint8_t name[XC_CONTAINER_NAME_SIZE + 4];
  std::memset(name, 0xEE, sizeof(name));
  uint32_t len = XC_CONTAINER_NAME_SIZE - 1;
  EXPECT_EQ(GetContainerParam(container, 1, name, &len, 0), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, XC_CONTAINER_NAME_SIZE);
  len = sizeof(name);
  ASSERT_EQ(GetContainerParam(container, 1, name, &len, 0), 0);
  EXPECT_EQ(len, XC_CONTAINER_NAME_SIZE);
  EXPECT_STREQ(reinterpret_cast<char *>(name), "PARAM_ENC");
  EXPECT_EQ(name[XC_CONTAINER_NAME_SIZE - 1], 0);
  EXPECT_EQ(name[XC_CONTAINER_NAME_SIZE], 0xEE);

  auto flags = [&] {
    uint32_t value = 0xFFFFFFFF, value_len = sizeof(value);
    EXPECT_EQ(GetContainerParam(container, 2, reinterpret_cast<uint8_t *>(&value), &value_len, 0),
              0);
    EXPECT_EQ(value_len, 4u);
    return value;
  };
  EXPECT_EQ(flags(), 0u);
  ASSERT_EQ(Login(), 0);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(flags(), XC_FLAG_SIGNATURE_PAIR);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(flags(), XC_FLAG_SIGNATURE_PAIR | XC_FLAG_EXCHANGE_PAIR);
  // The pairs are seen without the login too: their public halves are
  // public objects.
  ASSERT_EQ(Login("wrong-pin"), P11ST_PIN_INCORRECT);
  EXPECT_EQ(flags(), XC_FLAG_SIGNATURE_PAIR | XC_FLAG_EXCHANGE_PAIR);
  uint32_t value = 0, value_len = sizeof(value);
  EXPECT_EQ(GetContainerParam(container, 3, reinterpret_cast<uint8_t *>(&value), &value_len, 0),
            P11ST_BAD_PARAM);
}

}  // namespace
}  // namespace obkey::p11token::testing

// Containers: slots, modes, names and parameters.
#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

class ContainerTest : public TokenTest {
 protected:
  std::string NameOf(XcHandle container) {
    uint8_t name[XC_CONTAINER_NAME_SIZE + 4];
    std::memset(name, 0x77, sizeof(name));
    uint32_t len = XC_CONTAINER_NAME_SIZE;
    EXPECT_EQ(GetContainerParam(container, XC_CONTAINER_PARAM_NAME, name, &len, 0), 0);
    EXPECT_EQ(len, XC_CONTAINER_NAME_SIZE);
    EXPECT_EQ(name[XC_CONTAINER_NAME_SIZE], 0x77) << "wrote past 48 bytes";
    return std::string(reinterpret_cast<char *>(name));
  }
  uint32_t FlagsOf(XcHandle container) {
    uint32_t flags = 0xFFFFFFFF;
    uint32_t len = sizeof(flags);
    EXPECT_EQ(GetContainerParam(container, XC_CONTAINER_PARAM_FLAGS,
                                reinterpret_cast<uint8_t *>(&flags), &len, 0),
              0);
    EXPECT_EQ(len, 4u);
    return flags;
  }
};

TEST_F(ContainerTest, NameDecidesTheSlotAndEachSlotHoldsOne) {
  XcHandle session = Connect();
  struct Case {
    const char *name;
    uint32_t mode;
    int32_t expected;
    uint32_t slot;
  };
  const Case cases[] = {
      {"USER_SIG_1", XC_CONTAINER_CREATE, 0, XC_SLOT_SIGNATURE},
      {"USER_ENC_1", XC_CONTAINER_CREATE, 0, XC_SLOT_EXCHANGE},
      {"USER_SIG_2", XC_CONTAINER_CREATE, XCST_CONTAINER_EXISTS, 0},
      {"anything", XC_CONTAINER_CREATE, XCST_CONTAINER_EXISTS, 0},
      {"USER_SIG_1", XC_CONTAINER_OPEN, 0, XC_SLOT_SIGNATURE},
      {"USER_ENC_1", XC_CONTAINER_OPEN, 0, XC_SLOT_EXCHANGE},
      {"user_sig_1", XC_CONTAINER_OPEN, XCST_CONTAINER_NOT_FOUND, 0},
      {"USER_SIG_1", 3, XCST_BAD_MODE, 0},
  };
  for (const Case &c : cases) {
    XcHandle container = 0;
    ASSERT_EQ(CreateContainer(session, c.name, &container, c.mode), c.expected) << c.name;
    if (c.expected != 0) continue;
    XcHandle by_slot = 0;
    ASSERT_EQ(SetCurContainer(session, c.slot, &by_slot), 0);
    EXPECT_EQ(container, by_slot) << c.name;
    EXPECT_EQ(NameOf(container), c.name);
  }
}

TEST_F(ContainerTest, LowerCaseSigGoesToTheExchangeSlot) {
  XcHandle session = Connect();
  XcHandle container = Container(session, "my_sig");
  XcHandle exchange = 0;
  ASSERT_EQ(SetCurContainer(session, XC_SLOT_EXCHANGE, &exchange), 0);
  EXPECT_EQ(container, exchange);
}

TEST_F(ContainerTest, NamesUpTo47Characters) {
  XcHandle session = Connect();
  XcHandle container = 0;
  const std::string longest = "SIG" + std::string(44, 'x');
  const std::string too_long = longest + "x";
  EXPECT_EQ(CreateContainer(session, too_long.c_str(), &container, XC_CONTAINER_CREATE),
            XCST_BAD_CONTAINER_NAME);
  EXPECT_EQ(CreateContainer(session, "", &container, XC_CONTAINER_CREATE), XCST_BAD_CONTAINER_NAME);
  EXPECT_EQ(CreateContainer(session, nullptr, &container, XC_CONTAINER_CREATE), XCST_BAD_ARGUMENT);
  EXPECT_EQ(CreateContainer(session, "SIG", nullptr, XC_CONTAINER_CREATE), XCST_BAD_ARGUMENT);
  ASSERT_EQ(CreateContainer(session, longest.c_str(), &container, XC_CONTAINER_CREATE), 0);
  Disconnect(session);
  session = Connect();
  ASSERT_EQ(CreateContainer(session, longest.c_str(), &container, XC_CONTAINER_OPEN), 0);
  EXPECT_EQ(NameOf(container), longest);
}

TEST_F(ContainerTest, EmptySlotsAndBadSlotsCannotBeSelected) {
  XcHandle session = Connect();
  XcHandle container = 0x1234;
  EXPECT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), XCST_CONTAINER_NOT_FOUND);
  EXPECT_EQ(SetCurContainer(session, XC_SLOT_EXCHANGE, &container), XCST_CONTAINER_NOT_FOUND);
  EXPECT_EQ(SetCurContainer(session, 2, &container), XCST_BAD_SLOT);
  EXPECT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, nullptr), XCST_BAD_ARGUMENT);
  EXPECT_EQ(container, 0x1234u);
}

TEST_F(ContainerTest, FlagsFollowTheKeyPairs) {
  XcHandle session = LoggedInSession();
  XcHandle container = Container(session, "SIG");
  EXPECT_EQ(FlagsOf(container), 0u);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(FlagsOf(container), XC_FLAG_SIGNATURE_PAIR);
  ASSERT_EQ(GenRSAKey(container, XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(FlagsOf(container), XC_FLAG_SIGNATURE_PAIR | XC_FLAG_EXCHANGE_PAIR);
}

TEST_F(ContainerTest, ParametersCheckTheBuffer) {
  XcHandle session = Connect();
  XcHandle container = Container(session, "ENC");
  uint8_t buffer[48] = {};
  struct Case {
    uint32_t param;
    uint8_t *out;
    uint32_t capacity;
    int32_t expected;
    uint32_t reported;
  };
  const Case cases[] = {
      {XC_CONTAINER_PARAM_NAME, buffer, 47, XCST_BUFFER_TOO_SMALL, 48},
      {XC_CONTAINER_PARAM_NAME, nullptr, 48, XCST_BUFFER_TOO_SMALL, 48},
      {XC_CONTAINER_PARAM_FLAGS, buffer, 3, XCST_BUFFER_TOO_SMALL, 4},
      {3, buffer, 48, XCST_BAD_PARAM, 48},
  };
  for (const Case &c : cases) {
    uint32_t len = c.capacity;
    std::memset(buffer, 0xAA, sizeof(buffer));
    EXPECT_EQ(GetContainerParam(container, c.param, c.out, &len, 0), c.expected) << c.param;
    EXPECT_EQ(len, c.reported) << c.param;
    EXPECT_EQ(buffer[0], 0xAA) << "written on failure";
  }
  EXPECT_EQ(GetContainerParam(container, XC_CONTAINER_PARAM_NAME, buffer, nullptr, 0),
            XCST_BAD_ARGUMENT);
}

TEST_F(ContainerTest, ContainerPersistsAcrossSessions) {
  XcHandle session = Connect();
  Container(session, "SIG");
  Disconnect(session);
  session = Connect();
  XcHandle container = 0;
  EXPECT_EQ(SetCurContainer(session, XC_SLOT_SIGNATURE, &container), 0);
}

}  // namespace
}  // namespace obkey::softtoken::testing

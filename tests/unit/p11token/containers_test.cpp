// The container directory of p11token: one data object holding the two
// names, that another writer's change is never lost under and that is read
// as far as it is whole. (What containers do is the behaviour suite's.)
#include "p11token_fixture.h"

namespace obkey::p11token::testing {
namespace {

// A connection keeps the directory of its first look; a write from that
// view over a directory another connection changed since would drop the
// other's container.
TEST_F(P11TokenTest, AContainerAnotherConnectionMadeMeanwhileIsNeverLost) {
  XcHandle container = 0;
  auto other_creates = [&](const char *name) {
    XcHandle other = 0;
    ASSERT_EQ(ConnectEkey(kDevice, &other), 0);
    ASSERT_EQ(CreateContainer(other, name, &container, XC_CONTAINER_CREATE), 0);
    ASSERT_EQ(DisconnectEkey(other), 0);
  };
  // No directory yet when this connection looked.
  ASSERT_EQ(SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), P11ST_CONTAINER_NOT_FOUND);
  other_creates("THEIRS_SIG");
  EXPECT_EQ(CreateContainer(session_, "LATE_ENC", &container, XC_CONTAINER_CREATE), P11ST_CHANGED);
  // A directory with slot 1 free when this connection looked.
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  ASSERT_EQ(SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), 0);
  other_creates("THEIRS_ENC");
  EXPECT_EQ(CreateContainer(session_, "LATE_ENC", &container, XC_CONTAINER_CREATE), P11ST_CHANGED);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  EXPECT_EQ(CreateContainer(session_, "THEIRS_SIG", &container, XC_CONTAINER_OPEN), 0);
  EXPECT_EQ(CreateContainer(session_, "THEIRS_ENC", &container, XC_CONTAINER_OPEN), 0);
  // The directory is one public data object, and stays one.
  EXPECT_EQ(Objects(CKO_DATA, kContainersLabel).size(), 1u);
}

// Another program's directory, or one cut short, gives the names whose
// fields it holds whole, and none of a field cut short.
TEST_F(P11TokenTest, ADirectoryCutShortGivesTheWholeNamesOnly) {
  Bytes cut(kMaxContainerName + 1, 0);
  std::memcpy(cut.data(), "WHOLE_SIG", 9);
  const char part[] = "PART_ENC";  // with its zero, 9 of the field's 48 bytes
  cut.insert(cut.end(), part, part + sizeof(part));
  Cryptoki c;  // the library's read-write session
  ASSERT_EQ(SessionOf(session_, &c), 0);
  ASSERT_EQ(CreatePublicDataObject(c, kContainersLabel, cut.data(), cut.size()), CKR_OK);
  ASSERT_EQ(DisconnectEkey(session_), 0);
  ASSERT_EQ(ConnectEkey(kDevice, &session_), 0);
  XcHandle container = 0;
  EXPECT_EQ(SetCurContainer(session_, XC_SLOT_SIGNATURE, &container), 0);
  EXPECT_EQ(SetCurContainer(session_, XC_SLOT_EXCHANGE, &container), P11ST_CONTAINER_NOT_FOUND);
  EXPECT_EQ(CreateContainer(session_, "PART_ENC", &container, XC_CONTAINER_OPEN),
            P11ST_CONTAINER_NOT_FOUND);
  // The next write makes it whole again.
  ASSERT_EQ(CreateContainer(session_, "WHOLE_ENC", &container, XC_CONTAINER_CREATE), 0);
  std::vector<CK_OBJECT_HANDLE> directory = Objects(CKO_DATA, kContainersLabel);
  ASSERT_EQ(directory.size(), 1u);
  Bytes value;
  ASSERT_EQ(ReadAttribute(raw_, directory[0], CKA_VALUE, &value), 0);
  EXPECT_EQ(value.size(), kContainerSlots * (kMaxContainerName + 1));
}

}  // namespace
}  // namespace obkey::p11token::testing

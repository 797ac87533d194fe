// Numbered user files.
#include <cstring>

#include "token_fixture.h"

namespace obkey::softtoken::testing {
namespace {

class UserFileTest : public TokenTest {
 protected:
  XcHandle Create(XcHandle session, uint32_t number, uint32_t size) {
    XcHandle file = 0;
    EXPECT_EQ(CreateUserFile(session, number, size, XC_USER_FILE_CREATE, &file), 0);
    return file;
  }
  std::vector<uint8_t> Read(XcHandle file, uint32_t capacity) {
    std::vector<uint8_t> out(capacity + 1, 0xEE);
    uint32_t len = capacity;
    EXPECT_EQ(ReadUserFile(file, out.data(), &len), 0);
    EXPECT_EQ(out[capacity], 0xEE) << "read past the capacity";
    out.resize(len);
    return out;
  }
};

TEST_F(UserFileTest, ModesCreateAndOpen) {
  XcHandle session = Connect();
  XcHandle file = 0;
  EXPECT_EQ(CreateUserFile(session, 1, 200, XC_USER_FILE_OPEN, &file), XCST_FILE_NOT_FOUND);
  XcHandle created = Create(session, 1, 200);
  EXPECT_NE(created, 0u);
  EXPECT_EQ(CreateUserFile(session, 1, 200, XC_USER_FILE_CREATE, &file), XCST_FILE_EXISTS);
  EXPECT_EQ(CreateUserFile(session, 1, 999, XC_USER_FILE_OPEN, &file), 0);
  EXPECT_EQ(file, created);
  EXPECT_EQ(Read(file, 1000), std::vector<uint8_t>(200, 0)) << "size fixed at creation";
  EXPECT_EQ(CreateUserFile(session, 1, 200, 6, &file), XCST_BAD_MODE);
  EXPECT_EQ(CreateUserFile(session, 1, 200, XC_USER_FILE_OPEN, nullptr), XCST_BAD_ARGUMENT);
}

TEST_F(UserFileTest, ReadsTakeTheWholeFileOrNothingAndWritesStayInside) {
  XcHandle session = LoggedInSession();
  XcHandle file = Create(session, 2, 10);
  const uint8_t data[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(WriteUserFile(file, data, 11), XCST_FILE_BOUNDS);
  EXPECT_EQ(Read(file, 10), std::vector<uint8_t>(10, 0));
  ASSERT_EQ(WriteUserFile(file, data, 10), 0);
  ASSERT_EQ(WriteUserFile(file, data + 5, 3), 0);  // rewrites the start only
  const std::vector<uint8_t> expected = {6, 7, 8, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(Read(file, 64), expected);
  EXPECT_EQ(Read(file, 10), expected);
  // A short buffer gets nothing but the length that would take the file.
  for (uint32_t capacity : {9u, 4u, 0u}) {
    uint8_t out[10];
    std::memset(out, 0xEE, sizeof(out));
    uint32_t len = capacity;
    EXPECT_EQ(ReadUserFile(file, out, &len), XCST_BUFFER_TOO_SMALL) << capacity;
    EXPECT_EQ(len, 10u);
    EXPECT_EQ(out[0], 0xEE);
  }
  uint32_t len = 0;
  EXPECT_EQ(ReadUserFile(file, nullptr, &len), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 10u);
  len = 4;
  EXPECT_EQ(ReadUserFile(file, nullptr, &len), XCST_BAD_ARGUMENT);
  EXPECT_EQ(ReadUserFile(file, nullptr, nullptr), XCST_BAD_ARGUMENT);
  EXPECT_EQ(WriteUserFile(file, nullptr, 3), XCST_BAD_ARGUMENT);

  Disconnect(session);
  session = Connect();
  XcHandle reopened = 0;
  ASSERT_EQ(CreateUserFile(session, 2, 0, XC_USER_FILE_OPEN, &reopened), 0);
  EXPECT_EQ(Read(reopened, 10), expected);
}

TEST_F(UserFileTest, WritesAndDeletesNeedTheLoginReadsDoNot) {
  XcHandle session = Connect();
  XcHandle file = Create(session, 3, 4);
  const uint8_t data[4] = {9, 9, 9, 9};
  EXPECT_EQ(WriteUserFile(file, data, 4), XCST_NOT_LOGGED_IN);
  EXPECT_EQ(DeleteUserFile(file), XCST_NOT_LOGGED_IN);
  EXPECT_EQ(Read(file, 4), std::vector<uint8_t>(4, 0));
  ASSERT_EQ(Login(session), 0);
  EXPECT_EQ(WriteUserFile(file, data, 4), 0);
}

TEST_F(UserFileTest, DeleteRemovesTheFileAndEndsItsHandles) {
  XcHandle session = LoggedInSession();
  XcHandle file = Create(session, 5, 8);
  XcHandle same = 0;
  ASSERT_EQ(CreateUserFile(session, 5, 8, XC_USER_FILE_OPEN, &same), 0);
  ASSERT_EQ(DeleteUserFile(file), 0);
  uint32_t len = 8;
  uint8_t out[8];
  EXPECT_EQ(ReadUserFile(same, out, &len), XCST_BAD_HANDLE);
  EXPECT_EQ(DeleteUserFile(file), XCST_BAD_HANDLE);
  EXPECT_EQ(CreateUserFile(session, 5, 8, XC_USER_FILE_OPEN, &same), XCST_FILE_NOT_FOUND);
  XcHandle again = Create(session, 5, 16);
  EXPECT_EQ(Read(again, 100).size(), 16u);
}

TEST_F(UserFileTest, CapacityIs64KiB) {
  XcHandle session = LoggedInSession();
  XcHandle file = 0;
  EXPECT_EQ(CreateUserFile(session, 1, kUserFileCapacity + 1, XC_USER_FILE_CREATE, &file),
            XCST_FILE_SPACE_FULL);
  EXPECT_EQ(CreateUserFile(session, 1, 0xFFFFFFFF, XC_USER_FILE_CREATE, &file),
            XCST_FILE_SPACE_FULL);
  XcHandle big = Create(session, 1, kUserFileCapacity - 100);
  Create(session, 2, 100);
  EXPECT_EQ(CreateUserFile(session, 3, 1, XC_USER_FILE_CREATE, &file), XCST_FILE_SPACE_FULL);
  Create(session, 3, 0);  // an empty file takes no capacity
  ASSERT_EQ(DeleteUserFile(big), 0);
  Create(session, 4, kUserFileCapacity - 100);
}

TEST_F(UserFileTest, AtMost256Files) {
  XcHandle session = Connect();
  for (uint32_t n = 0; n < kMaxUserFiles; ++n) Create(session, n, 0);
  XcHandle file = 0;
  EXPECT_EQ(CreateUserFile(session, 1000, 0, XC_USER_FILE_CREATE, &file), XCST_FILE_SPACE_FULL);
}

}  // namespace
}  // namespace obkey::softtoken::testing

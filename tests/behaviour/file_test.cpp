// Certificates and numbered user files, over every token library.
#include "behaviour_fixture.h"

namespace obkey_behaviour {
namespace {

Bytes ReadCert(const obkey_test::TokenLibrary &xc, XcHandle container, uint32_t key_spec,
               int32_t expected = 0) {
  Bytes out(5000, 0xEE);
  uint32_t len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(xc.ReadCert(container, out.data(), &len, key_spec), expected);
  out.resize(expected == 0 ? len : 0);
  return out;
}

TEST_F(TokenBehaviour, ACertificatePerContainerAndKeySpecification) {
  NEEDS_CONTAINERS_AND_FILES();
  XcHandle sig = NewContainer("CERT_SIG"), enc = NewContainer("CERT_ENC");
  const Bytes cert = {0x30, 0x03, 0x02, 0x01, 0x07}, other = {'n', 'o', 't', ' ', 'X', '.', '5'};
  LogOut();
  EXPECT_EQ(xc_.WriteCert(sig, cert.data(), 5, XC_KEY_SIGNATURE), XCST_NOT_LOGGED_IN);
  ASSERT_EQ(Login(), 0);
  const Bytes largest(4096, 0x30);
  struct Case {
    const char *what;
    const uint8_t *cert;
    uint32_t len, key_spec;
    int32_t status;
  } refused[] = {
      {"empty", cert.data(), 0, 2, XCST_CERT_LENGTH},
      {"4097 bytes", largest.data(), 4097, 2, XCST_CERT_LENGTH},
      {"key specification 3", cert.data(), 5, 3, XCST_BAD_KEY_TYPE},
      {"null", nullptr, 5, 2, XCST_BAD_ARGUMENT},
  };
  for (const Case &c : refused) {
    EXPECT_EQ(xc_.WriteCert(sig, c.cert, c.len, c.key_spec), c.status) << c.what;
  }
  uint8_t param[XC_EKEY_PARAM_SIZE];
  auto count = [&] {
    uint32_t len = sizeof(param);
    EXPECT_EQ(xc_.GetEkeyParam(session_, 8, param, &len, 0), 0);
    return param[0];
  };
  EXPECT_EQ(count(), 0);
  ReadCert(xc_, sig, XC_KEY_SIGNATURE, XCST_CERT_NOT_FOUND);
  ASSERT_EQ(xc_.WriteCert(sig, cert.data(), 5, XC_KEY_SIGNATURE), 0);
  ASSERT_EQ(xc_.WriteCert(enc, other.data(), 7, XC_KEY_EXCHANGE), 0);
  ASSERT_EQ(xc_.WriteCert(enc, cert.data(), 5, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(count(), 3);
  // A certificate is replaced, never added.
  ASSERT_EQ(xc_.WriteCert(sig, other.data(), 7, XC_KEY_SIGNATURE), 0);
  EXPECT_EQ(count(), 3);
  EXPECT_EQ(ReadCert(xc_, sig, XC_KEY_SIGNATURE), other);
  ReadCert(xc_, sig, XC_KEY_EXCHANGE, XCST_CERT_NOT_FOUND);
  EXPECT_EQ(ReadCert(xc_, enc, XC_KEY_EXCHANGE), other);
  EXPECT_EQ(ReadCert(xc_, enc, XC_KEY_SIGNATURE), cert);
  ASSERT_EQ(xc_.WriteCert(enc, largest.data(), 4096, XC_KEY_EXCHANGE), 0);
  EXPECT_EQ(ReadCert(xc_, enc, XC_KEY_EXCHANGE), largest);
  // Kept for the next connections, and read without the login; short
  // buffers get the length.
  Reconnect();
  ASSERT_EQ(xc_.SetCurContainer(session_, XC_SLOT_EXCHANGE, &enc), 0);
  LogOut();
  EXPECT_EQ(ReadCert(xc_, enc, XC_KEY_SIGNATURE), cert);
  uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  uint32_t len = sizeof(small);
  EXPECT_EQ(xc_.ReadCert(enc, small, &len, XC_KEY_SIGNATURE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(Bytes(small, small + 4), Bytes(4, 0xEE));
  len = 0;
  EXPECT_EQ(xc_.ReadCert(enc, nullptr, &len, XC_KEY_SIGNATURE), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(xc_.ReadCert(enc, small, nullptr, XC_KEY_SIGNATURE), XCST_BAD_ARGUMENT);
  EXPECT_EQ(xc_.ReadCert(enc, small, &len, 3), XCST_BAD_KEY_TYPE);
}

Bytes ReadFile(const obkey_test::TokenLibrary &xc, XcHandle file, int32_t expected = 0) {
  Bytes out(64, 0xEE);
  uint32_t len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(xc.ReadUserFile(file, out.data(), &len), expected);
  if (expected != 0) len = 0;
  EXPECT_EQ(Bytes(out.begin() + len, out.end()), Bytes(out.size() - len, 0xEE)) << "written past";
  out.resize(len);
  return out;
}

TEST_F(TokenBehaviour, UserFilesKeepTheSizeTheyWereCreatedWith) {
  NEEDS_CONTAINERS_AND_FILES();
  if (backend_->objects_need_login) {
    ASSERT_EQ(Login(), 0);
  }
  XcHandle file = 0, again = 0;
  struct Case {
    const char *what;
    uint32_t number, size, mode;
    int32_t status;
  } cases[] = {
      {"open a missing file", 9, 0, XC_USER_FILE_OPEN, XCST_FILE_NOT_FOUND},
      {"create", 9, 6, XC_USER_FILE_CREATE, 0},
      {"create it again", 9, 6, XC_USER_FILE_CREATE, XCST_FILE_EXISTS},
      {"open it at another size", 9, 1000, XC_USER_FILE_OPEN, 0},
      {"an empty file, the highest number", 0xFFFFFFFF, 0, XC_USER_FILE_CREATE, 0},
      {"larger than any token", 10, (1u << 24) + 1, XC_USER_FILE_CREATE, XCST_FILE_SPACE_FULL},
      {"mode 7", 10, 6, 7, XCST_BAD_MODE},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(xc_.CreateUserFile(session_, c.number, c.size, c.mode, &file), c.status) << c.what;
  }
  EXPECT_EQ(xc_.CreateUserFile(session_, 9, 6, XC_USER_FILE_OPEN, nullptr), XCST_BAD_ARGUMENT);
  ASSERT_EQ(xc_.CreateUserFile(session_, 9, 0, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_EQ(xc_.CreateUserFile(session_, 0xFFFFFFFF, 0, XC_USER_FILE_OPEN, &again), 0);
  EXPECT_EQ(ReadFile(xc_, again), Bytes{});
  ASSERT_EQ(xc_.CreateUserFile(session_, 9, 0, XC_USER_FILE_OPEN, &again), 0);
  EXPECT_EQ(ReadFile(xc_, file), Bytes(6, 0));

  const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
  if (ReadableWithoutLogin()) {
    EXPECT_EQ(xc_.WriteUserFile(file, data, 3), XCST_NOT_LOGGED_IN);
  }
  ASSERT_EQ(Login(), 0);
  EXPECT_EQ(xc_.WriteUserFile(file, data, 7), XCST_FILE_BOUNDS);
  EXPECT_EQ(xc_.WriteUserFile(file, nullptr, 3), XCST_BAD_ARGUMENT);
  ASSERT_EQ(xc_.WriteUserFile(file, data, 6), 0);
  ASSERT_EQ(xc_.WriteUserFile(file, data + 4, 2), 0);  // the rest keeps its bytes
  EXPECT_EQ(ReadFile(xc_, again), Bytes({5, 6, 3, 4, 5, 6}));
  Reconnect();
  ASSERT_EQ(xc_.CreateUserFile(session_, 9, 0, XC_USER_FILE_OPEN, &file), 0);
  EXPECT_EQ(ReadFile(xc_, file), Bytes({5, 6, 3, 4, 5, 6}));
}

// A read takes the whole file or nothing: the first bytes of a file never
// pass for all of it.
TEST_F(TokenBehaviour, AShortReadTakesNothingAndSaysWhatTheFileNeeds) {
  NEEDS_CONTAINERS_AND_FILES();
  ASSERT_EQ(Login(), 0);
  XcHandle file = 0;
  ASSERT_EQ(xc_.CreateUserFile(session_, 4, 6, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(xc_.WriteUserFile(file, Pin("abcdef"), 6), 0);
  uint8_t two[2] = {0xEE, 0xEE};
  uint32_t len = sizeof(two);
  EXPECT_EQ(xc_.ReadUserFile(file, two, &len), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 6u);
  EXPECT_EQ(Bytes(two, two + 2), Bytes(2, 0xEE));
  EXPECT_EQ(xc_.ReadUserFile(file, nullptr, &len), XCST_BAD_ARGUMENT);
  len = 0;
  EXPECT_EQ(xc_.ReadUserFile(file, nullptr, &len), XCST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 6u);
  EXPECT_EQ(xc_.ReadUserFile(file, two, nullptr), XCST_BAD_ARGUMENT);
  // Read without the login, where the backend shows files without one.
  if (ReadableWithoutLogin()) LogOut();
  EXPECT_EQ(ReadFile(xc_, file), Bytes({'a', 'b', 'c', 'd', 'e', 'f'}));
}

TEST_F(TokenBehaviour, ADeletedFileIsGoneWithItsHandles) {
  NEEDS_CONTAINERS_AND_FILES();
  ASSERT_EQ(Login(), 0);
  XcHandle file = 0, kept = 0, again = 0;
  ASSERT_EQ(xc_.CreateUserFile(session_, 5, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(xc_.CreateUserFile(session_, 6, 4, XC_USER_FILE_CREATE, &kept), 0);
  if (ReadableWithoutLogin()) {
    LogOut();
    EXPECT_EQ(xc_.DeleteUserFile(file), XCST_NOT_LOGGED_IN);
    ASSERT_EQ(Login(), 0);
  }
  ASSERT_EQ(xc_.CreateUserFile(session_, 5, 0, XC_USER_FILE_OPEN, &again), 0);
  ASSERT_EQ(xc_.DeleteUserFile(file), 0);
  ReadFile(xc_, again, XCST_BAD_HANDLE);
  EXPECT_EQ(xc_.DeleteUserFile(file), XCST_BAD_HANDLE);
  EXPECT_EQ(xc_.CreateUserFile(session_, 5, 0, XC_USER_FILE_OPEN, &file), XCST_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(xc_, kept), Bytes(4, 0)) << "another file went too";
  // The number is free for a new file, of another size.
  ASSERT_EQ(xc_.CreateUserFile(session_, 5, 2, XC_USER_FILE_CREATE, &file), 0);
  EXPECT_EQ(ReadFile(xc_, file), Bytes(2, 0));
}

}  // namespace
}  // namespace obkey_behaviour

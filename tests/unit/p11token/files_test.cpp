// User files and certificates of p11token: data and certificate objects
// that are replaced, never rewritten in place.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>

#include "p11token_fixture.h"

namespace obkey::p11token::testing {
namespace {

Bytes ReadAll(XcHandle file, int32_t expected = 0) {
  Bytes out(64, 0xEE);
  uint32_t len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(ReadUserFile(file, out.data(), &len), expected);
  out.resize(expected == 0 ? len : 0);
  return out;
}

TEST_F(P11TokenTest, UserFilesKeepTheirSizeAndModes) {
  XcHandle file = 0, again = 0;
  struct Case {
    const char *what;
    uint32_t number, size, mode;
    int32_t status;
  } cases[] = {
      {"open a missing file", 9, 0, XC_USER_FILE_OPEN, P11ST_FILE_NOT_FOUND},
      {"create", 9, 6, XC_USER_FILE_CREATE, 0},
      {"create it again", 9, 6, XC_USER_FILE_CREATE, P11ST_FILE_EXISTS},
      {"open ignores the size", 9, 1000, XC_USER_FILE_OPEN, 0},
      {"an empty file", 0xFFFFFFFF, 0, XC_USER_FILE_CREATE, 0},
      {"mode 7", 10, 6, 7, P11ST_BAD_MODE},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(CreateUserFile(session_, c.number, c.size, c.mode, &file), c.status) << c.what;
  }
  ASSERT_EQ(CreateUserFile(session_, 9, 0, XC_USER_FILE_OPEN, &file), 0);
  ASSERT_EQ(CreateUserFile(session_, 9, 0, XC_USER_FILE_OPEN, &again), 0);
  EXPECT_EQ(file, again);
  EXPECT_EQ(ReadAll(file), Bytes(6, 0));
  EXPECT_EQ(CreateUserFile(session_, 9, 6, XC_USER_FILE_OPEN, nullptr), P11ST_BAD_ARGUMENT);

  const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(WriteUserFile(file, data, 3), P11ST_NOT_LOGGED_IN);
  ASSERT_EQ(Login(), 0);
  EXPECT_EQ(WriteUserFile(file, data, 7), P11ST_FILE_BOUNDS);
  ASSERT_EQ(WriteUserFile(file, data, 6), 0);
  ASSERT_EQ(WriteUserFile(file, data + 4, 2), 0);  // the rest keeps its bytes
  EXPECT_EQ(ReadAll(file), Bytes({5, 6, 3, 4, 5, 6}));
  // A short read takes nothing and says how much the file needs.
  uint8_t two[2] = {0xEE, 0xEE};
  uint32_t len = sizeof(two);
  ASSERT_EQ(ReadUserFile(file, two, &len), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 6u);
  EXPECT_EQ(two[0], 0xEE);
  EXPECT_EQ(ReadUserFile(file, nullptr, &len), P11ST_BAD_ARGUMENT);
  len = 0;
  EXPECT_EQ(ReadUserFile(file, nullptr, &len), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 6u);
  // Each rewrite leaves exactly one object behind.
  EXPECT_EQ(Objects(CKO_DATA, FileLabel(9)).size(), 1u);

  ASSERT_EQ(DeleteUserFile(file), 0);
  EXPECT_EQ(ReadAll(again, P11ST_BAD_HANDLE), Bytes{});
  EXPECT_EQ(CreateUserFile(session_, 9, 0, XC_USER_FILE_OPEN, &file), P11ST_FILE_NOT_FOUND);
  EXPECT_TRUE(Objects(CKO_DATA, FileLabel(9)).empty());
}

// A label call spreads one read-modify-write over several steps (read the
// directory, replace a data file, write the directory). Once another
// connection has changed a file this one read, each later file step of this
// one refuses (P11ST_CHANGED) and changes nothing.
TEST_F(P11TokenTest, FileStepsRefuseToActOnAReadAnotherConnectionOvertook) {
  ASSERT_EQ(Login(), 0);
  const Bytes mine = {'m', 'i', 'n', 'e'};
  XcHandle dir = 0, data = 0;
  ASSERT_EQ(CreateUserFile(session_, 1, 4, XC_USER_FILE_CREATE, &dir), 0);
  ASSERT_EQ(CreateUserFile(session_, 2, 4, XC_USER_FILE_CREATE, &data), 0);
  ASSERT_EQ(WriteUserFile(data, mine.data(), 4), 0);
  XcHandle made = 0;
  const std::vector<std::pair<const char *, std::function<int32_t()>>> steps = {
      {"create", [&] { return CreateUserFile(session_, 3, 4, XC_USER_FILE_CREATE, &made); }},
      {"open", [&] { return CreateUserFile(session_, 2, 4, XC_USER_FILE_OPEN, &made); }},
      {"read",
       [&] {
         uint8_t out[4];
         uint32_t len = sizeof(out);
         return ReadUserFile(data, out, &len);
       }},
      {"write", [&] { return WriteUserFile(data, Bytes(4, 'x').data(), 4); }},
      {"delete", [&] { return DeleteUserFile(data); }},
  };
  uint8_t round = 0;
  for (const auto &[what, step] : steps) {
    SCOPED_TRACE(what);
    ReadAll(dir);  // this connection's view of the directory
    XcHandle other = 0, other_dir = 0;
    ASSERT_EQ(ConnectEkey(kDevice, &other), 0);
    ASSERT_EQ(CreateUserFile(other, 1, 0, XC_USER_FILE_OPEN, &other_dir), 0);
    const Bytes others(4, ++round);
    ASSERT_EQ(WriteUserFile(other_dir, others.data(), 4), 0);
    ASSERT_EQ(DisconnectEkey(other), 0);
    EXPECT_EQ(step(), P11ST_CHANGED);
    // The open that follows an overtaken create answers with its cause, once.
    if (std::string(what) == "create") {
      EXPECT_EQ(CreateUserFile(session_, 3, 0, XC_USER_FILE_OPEN, &made), P11ST_CHANGED);
    }
    EXPECT_EQ(CreateUserFile(session_, 3, 0, XC_USER_FILE_OPEN, &made), P11ST_FILE_NOT_FOUND);
    EXPECT_EQ(ReadAll(data), mine);
    EXPECT_EQ(ReadAll(dir), others);
  }
}

// A file is every object of its label, also past the module's first answer
// (objects are found 16 at a time).
TEST_F(P11TokenTest, DeletingAFileRemovesEveryObjectOfItsLabel) {
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session_, 11, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(Login(), 0);
  Cryptoki c;
  ASSERT_EQ(SessionOf(session_, &c), 0);
  std::string label = FileLabel(11);
  const CK_OBJECT_CLASS data_class = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {
      {CKA_CLASS, const_cast<CK_OBJECT_CLASS *>(&data_class), sizeof(data_class)},
      {CKA_TOKEN, &yes, sizeof(yes)},
      {CKA_APPLICATION, const_cast<char *>(kApplication), std::strlen(kApplication)},
      {CKA_LABEL, label.data(), label.size()},
  };
  for (int copy = 0; copy < 17; ++copy) {
    CK_OBJECT_HANDLE created = 0;
    ASSERT_EQ(c.functions->C_CreateObject(c.session, tmpl, 4, &created), CKR_OK);
  }
  ASSERT_EQ(DeleteUserFile(file), 0);
  EXPECT_TRUE(Objects(CKO_DATA, label).empty());
}

// A rewrite interrupted between creating the new object and destroying the
// old one leaves two: a reader sees one whole value, and the next write
// leaves one object again.
TEST_F(P11TokenTest, AnInterruptedRewriteLeavesOneWholeValue) {
  XcHandle file = 0;
  ASSERT_EQ(CreateUserFile(session_, 3, 4, XC_USER_FILE_CREATE, &file), 0);
  ASSERT_EQ(Login(), 0);
  const uint8_t old_value[] = {'o', 'l', 'd', '!'};
  ASSERT_EQ(WriteUserFile(file, old_value, 4), 0);
  // The first step of a rewrite, done by hand: a second object.
  Cryptoki c;
  ASSERT_EQ(SessionOf(session_, &c), 0);
  const std::string label = FileLabel(3);
  const uint8_t new_value[] = {'n', 'e', 'w', '!'};
  ASSERT_EQ(CreatePublicDataObject(c, label, new_value, sizeof(new_value)), CKR_OK);
  ASSERT_EQ(Objects(CKO_DATA, label).size(), 2u);

  Bytes seen = ReadAll(file);
  EXPECT_TRUE(seen == Bytes(old_value, old_value + 4) || seen == Bytes(new_value, new_value + 4));
  const uint8_t next[] = {'n', 'e', 'x', 't'};
  ASSERT_EQ(WriteUserFile(file, next, 4), 0);
  EXPECT_EQ(Objects(CKO_DATA, label).size(), 1u);
  EXPECT_EQ(ReadAll(file), Bytes(next, next + 4));
}

Bytes SelfSignedCertificate(Bytes *out_subject) {
  EVP_PKEY *key = EVP_RSA_gen(1024);
  X509 *cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("p11token test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  Bytes der(static_cast<size_t>(i2d_X509(cert, nullptr)));
  unsigned char *cursor = der.data();
  i2d_X509(cert, &cursor);
  out_subject->assign(static_cast<size_t>(i2d_X509_NAME(name, nullptr)), 0);
  cursor = out_subject->data();
  i2d_X509_NAME(name, &cursor);
  X509_free(cert);
  EVP_PKEY_free(key);
  return der;
}

TEST_F(P11TokenTest, CertificatesAreObjectsOfTheKeysLabel) {
  XcHandle sig = NewContainer("CERT_SIG"), enc = NewContainer("CERT_ENC");
  Bytes subject;
  Bytes x509 = SelfSignedCertificate(&subject);
  const uint8_t opaque[] = {'n', 'o', 't', ' ', 'X', '.', '5', '0', '9'};
  EXPECT_EQ(WriteCert(sig, x509.data(), static_cast<uint32_t>(x509.size()), 2),
            P11ST_NOT_LOGGED_IN);
  ASSERT_EQ(Login(), 0);
  struct Case {
    const char *what;
    uint32_t len;
    uint32_t key_spec;
    int32_t status;
  } refused[] = {
      {"empty", 0, 2, P11ST_CERT_LENGTH},
      {"4097 bytes", 4097, 2, P11ST_CERT_LENGTH},
      {"key specification 3", 4, 3, P11ST_BAD_KEY_TYPE},
  };
  for (const Case &c : refused) {
    EXPECT_EQ(WriteCert(sig, opaque, c.len, c.key_spec), c.status) << c.what;
  }

  uint8_t param[XC_EKEY_PARAM_SIZE];
  auto count = [&] {
    uint32_t len = sizeof(param);
    EXPECT_EQ(GetEkeyParam(session_, 8, param, &len, 0), 0);
    return param[0];
  };
  EXPECT_EQ(count(), 0);
  ASSERT_EQ(WriteCert(sig, x509.data(), static_cast<uint32_t>(x509.size()), 2), 0);
  ASSERT_EQ(WriteCert(enc, opaque, sizeof(opaque), 1), 0);
  ASSERT_EQ(WriteCert(enc, opaque, sizeof(opaque), 2), 0);
  EXPECT_EQ(count(), 3);
  // A replacement is one object still.
  ASSERT_EQ(WriteCert(sig, opaque, 4, 2), 0);
  ASSERT_EQ(WriteCert(sig, x509.data(), static_cast<uint32_t>(x509.size()), 2), 0);
  EXPECT_EQ(count(), 3);
  std::vector<CK_OBJECT_HANDLE> objects = Objects(CKO_CERTIFICATE, KeyLabel("CERT_SIG", 2));
  ASSERT_EQ(objects.size(), 1u);
  Bytes stored_subject, stored_id;
  ASSERT_EQ(ReadAttribute(raw_, objects[0], CKA_SUBJECT, &stored_subject), 0);
  EXPECT_EQ(stored_subject, subject);
  ASSERT_EQ(ReadAttribute(raw_, objects[0], CKA_ID, &stored_id), 0);
  EXPECT_EQ(stored_id, KeyId(0, 2));

  Bytes out(5000, 0xEE);
  uint32_t len = 10;
  EXPECT_EQ(ReadCert(sig, out.data(), &len, 2), P11ST_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, x509.size());
  len = static_cast<uint32_t>(out.size());
  ASSERT_EQ(ReadCert(sig, out.data(), &len, 2), 0);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), x509);
  len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(ReadCert(sig, out.data(), &len, 1), P11ST_CERT_NOT_FOUND);
  // Certificates are read without the login.
  ASSERT_EQ(Login("wrong-pin"), P11ST_PIN_INCORRECT);
  len = static_cast<uint32_t>(out.size());
  ASSERT_EQ(ReadCert(enc, out.data(), &len, 1), 0);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), Bytes(opaque, opaque + sizeof(opaque)));
  // The largest certificate there is room for is kept whole.
  ASSERT_EQ(Login(), 0);
  Bytes largest(4096, 0x30);
  ASSERT_EQ(WriteCert(enc, largest.data(), 4096, 1), 0);
  Bytes back(4100);
  uint32_t back_len = static_cast<uint32_t>(back.size());
  ASSERT_EQ(ReadCert(enc, back.data(), &back_len, 1), 0);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + back_len), largest);
}

}  // namespace
}  // namespace obkey::p11token::testing

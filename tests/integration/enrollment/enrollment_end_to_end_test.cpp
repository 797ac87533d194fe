// A request made on the software token through obkey and the enrollment
// stand-in, checked with OpenSSL; certificates issued for it by a throwaway
// authority, installed from the XML answer and read back through obkey.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "enrollsim_status.h"
#include "obkey.h"
#include "rsa_blobs.h"
#include "softtoken_status.h"
#include "token_backend.h"
#include "token_public_key.h"
#include "token_test_env.h"
#include "velta_enroll.h"

namespace {

using Bytes = std::vector<uint8_t>;
using obkey_test::TokenTestEnv;

template <typename T, void (*Free)(T *)>
struct Freer {
  void operator()(T *object) const { Free(object); }
};
using obkey_test::Pkey;
using obkey_test::TokenPublicKey;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Request = std::unique_ptr<X509_REQ, Freer<X509_REQ, X509_REQ_free>>;
using Bundle = std::unique_ptr<PKCS7, Freer<PKCS7, PKCS7_free>>;

constexpr int32_t kDevice = 4;
constexpr char kPin[] = "12345678";
constexpr char kSubject[] = "/C=CN/O=Orbisoft Test/CN=Zhang San";

std::string MemoryText(BIO *bio) {
  char *text = nullptr;
  long len = BIO_get_mem_data(bio, &text);
  return std::string(text, static_cast<size_t>(len));
}

Bytes Der(X509 *cert) {
  unsigned char *der = nullptr;
  int len = i2d_X509(cert, &der);
  Bytes bytes(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return bytes;
}

// Base64 in lines of 64 characters, as PEM bodies and XML answers carry it.
std::string Base64Lines(const Bytes &bytes) {
  BIO *b64 = BIO_new(BIO_f_base64());
  BIO *memory = BIO_new(BIO_s_mem());
  BIO_push(b64, memory);
  BIO_write(b64, bytes.data(), static_cast<int>(bytes.size()));
  (void)BIO_flush(b64);
  std::string text = MemoryText(memory);
  BIO_free_all(b64);
  return text;
}

std::string NameText(X509_NAME *name) {
  BIO *memory = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(memory, name, 0, XN_FLAG_RFC2253);
  std::string text = MemoryText(memory);
  BIO_free(memory);
  return text;
}

// A throwaway certification authority.
class Authority {
 public:
  Authority() : key_(EVP_RSA_gen(2048)) { cert_ = Issue("CN=Throwaway Test CA", key_.get(), true); }
  X509 *cert() const { return cert_.get(); }

  Cert Issue(const std::string &subject_cn, EVP_PKEY *subject_key, bool self_signed = false) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial_);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(subject_cn.c_str() + 3), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), self_signed ? name : X509_get_subject_name(cert_.get()));
    X509_set_pubkey(cert.get(), subject_key);
    X509_sign(cert.get(), key_.get(), EVP_sha256());
    return cert;
  }

 private:
  Pkey key_;
  Cert cert_;
  long serial_ = 0;
};

// A certificates-only PKCS #7 bundle, as an authority returns it.
Bundle BundleOf(const std::vector<X509 *> &certs) {
  Bundle bundle(PKCS7_new());
  PKCS7_set_type(bundle.get(), NID_pkcs7_signed);
  PKCS7_content_new(bundle.get(), NID_pkcs7_data);
  for (X509 *cert : certs) PKCS7_add_certificate(bundle.get(), cert);
  return bundle;
}

std::string PemOf(PKCS7 *bundle) {
  BIO *memory = BIO_new(BIO_s_mem());
  PEM_write_bio_PKCS7(memory, bundle);
  std::string text = MemoryText(memory);
  BIO_free(memory);
  return text;
}

std::string Base64Of(PKCS7 *bundle) {
  unsigned char *der = nullptr;
  int len = i2d_PKCS7(bundle, &der);
  std::string text = Base64Lines(Bytes(der, der + len));
  OPENSSL_free(der);
  return text;
}

std::string Answer(const std::string &encryption_cert_b64, const std::string &rep2 = "seal-2",
                   const std::string &prolog = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") {
  return prolog + "<root>\n<certKmcRep3>seal-3</certKmcRep3>\n<certKmcReq1>req-1</certKmcReq1>\n" +
         "<certKmcReq2>req-2</certKmcReq2>\n<certKmcReq3>req-3</certKmcReq3>\n" +
         "<certKmcRep1>\n" + encryption_cert_b64 + "</certKmcRep1>\n<certKmcRep2>" + rep2 +
         "</certKmcRep2>\n</root>\n";
}

class EnrollmentEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obkey_test::PrepareTestTokens(env_.folder()));
    ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
    ASSERT_EQ(OBCA_Login(1, kPin), 0);
    GenerateKeyPair("ENROLL_SIG", OB_KEY_TYPE_SIGNATURE);
    GenerateKeyPair("ENROLL_ENC", OB_KEY_TYPE_EXCHANGE);
  }

  static void GenerateKeyPair(const char *container, uint32_t key_type) {
    uint8_t name1[64] = {}, name2[64] = {};
    DataBlob record1{0, name1}, record2{0, name2};
    ASSERT_EQ(OB_GenAsymmetricKey(container, &record1, &record2, 0, 0, key_type), 0);
  }

  // Asks for the size, then makes the request; the PEM text, or "" with
  // the failing status in *out_status.
  static std::string MakeRequest(const char *subject, int32_t *out_status = nullptr) {
    DataBlob query{0, nullptr};
    int32_t status = OBCERT_CreateP10(0, 0, 0, subject, &query, 0);
    if (out_status != nullptr) *out_status = status;
    if (status != 0) return "";
    std::vector<uint8_t> text(query.cbData);
    DataBlob request{query.cbData, text.data()};
    status = OBCERT_CreateP10(0, 0, 0, subject, &request, 0);
    if (out_status != nullptr) *out_status = status;
    if (status != 0) return "";
    EXPECT_EQ(request.cbData + 1, query.cbData);
    EXPECT_EQ(text[request.cbData], '\0');
    return std::string(reinterpret_cast<char *>(text.data()), request.cbData);
  }

  static Request ParseRequest(const std::string &pem) {
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    Request request(PEM_read_bio_X509_REQ(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return request;
  }

  static Bytes ReadBack(uint32_t key_type, int32_t *out_status) {
    Bytes cert(OB_CERT_SIZE_HINT);
    DataBlob record{static_cast<uint32_t>(cert.size()), cert.data()};
    *out_status = OBCERT_ExportCert(&record, 0, &key_type);
    cert.resize(*out_status == 0 ? record.cbData : 0);
    return cert;
  }

  TokenTestEnv env_{"XCSP_KEY_" + std::to_string(kDevice)};
};

TEST_F(EnrollmentEndToEndTest, RequestIsSignedByTheTokenSignatureKey) {
  std::string pem = MakeRequest(kSubject);
  Request request = ParseRequest(pem);
  ASSERT_TRUE(request) << pem;
  Pkey token_key = TokenPublicKey("ENROLL_SIG\\03");
  ASSERT_TRUE(token_key);
  EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(request.get()), token_key.get()), 1);
  EXPECT_EQ(X509_REQ_verify(request.get(), token_key.get()), 1);
  EXPECT_EQ(X509_REQ_get_signature_nid(request.get()), NID_sha256WithRSAEncryption);
  EXPECT_EQ(X509_REQ_get_version(request.get()), 0);
  EXPECT_EQ(NameText(X509_REQ_get_subject_name(request.get())),
            "CN=Zhang San,O=Orbisoft Test,C=CN");
  // The token's signatures are deterministic: the same request again.
  EXPECT_EQ(MakeRequest(kSubject), pem);

  // And the openssl command accepts it.
  std::string path = env_.folder() + "/request.pem";
  std::ofstream(path) << pem;
  EXPECT_EQ(std::system(("openssl req -verify -noout -in " + path + " 2>/dev/null").c_str()), 0);
}

TEST_F(EnrollmentEndToEndTest, SubjectTexts) {
  struct Case {
    const char *subject;
    int32_t status;
    const char *name;  // RFC 2253 form of the request's subject
  };
  const Case cases[] = {
      {"/C=CN/O=Orbisoft Test/CN=Zhang San", 0, "CN=Zhang San,O=Orbisoft Test,C=CN"},
      {"CN=Zhang San, O=Orbisoft Test, C=CN", 0, "CN=Zhang San,O=Orbisoft Test,C=CN"},
      {"CN=Smith\\, John", 0, "CN=Smith\\, John"},
      {"/CN=a\\/b=c", 0, "CN=a/b=c"},
      {"", VEST_BAD_SUBJECT, nullptr},
      {"CN", VEST_BAD_SUBJECT, nullptr},
      {"/CN=", VEST_BAD_SUBJECT, nullptr},
      {"CN=x,,O=y", VEST_BAD_SUBJECT, nullptr},
      {"NOSUCHTYPE=x", VEST_BAD_SUBJECT, nullptr},
  };
  for (const Case &c : cases) {
    int32_t status = -1;
    std::string pem = MakeRequest(c.subject, &status);
    EXPECT_EQ(status, c.status) << c.subject;
    if (c.name == nullptr) continue;
    Request request = ParseRequest(pem);
    ASSERT_TRUE(request) << c.subject;
    EXPECT_EQ(NameText(X509_REQ_get_subject_name(request.get())), c.name) << c.subject;
  }
}

TEST_F(EnrollmentEndToEndTest, ShortCapacityAsksForTheSizeOnly) {
  DataBlob query{0, nullptr};
  ASSERT_EQ(OBCERT_CreateP10(0, 0, 0, kSubject, &query, 0), 0);
  std::vector<uint8_t> text(query.cbData, 0xEE);
  DataBlob short_request{query.cbData - 1, text.data()};
  EXPECT_EQ(OBCERT_CreateP10(0, 0, 0, kSubject, &short_request, 0), 0);
  EXPECT_EQ(short_request.cbData, query.cbData);
  EXPECT_EQ(text, std::vector<uint8_t>(query.cbData, 0xEE));
}

TEST_F(EnrollmentEndToEndTest, RequestFailuresCarryTheirStatus) {
  VeBlob query{0, nullptr};
  // Constants other than obkey's, straight to the library.
  EXPECT_EQ(VeltaEnroll_createPKCS10(1, kSubject, &query, 1, 0, 2, 0x04000001), VEST_BAD_ARGUMENT);
  EXPECT_EQ(VeltaEnroll_createPKCS10(0, kSubject, &query, 2, 0, 2, 0x04000001), VEST_BAD_ARGUMENT);
  EXPECT_EQ(VeltaEnroll_createPKCS10(0, kSubject, nullptr, 1, 0, 2, 0x04000001), VEST_BAD_ARGUMENT);
  EXPECT_EQ(VeltaEnroll_createPKCS10(0, kSubject, &query, 1, 0, 1, 0x04000001),
            VEST_UNSUPPORTED_KEY);
  EXPECT_EQ(VeltaEnroll_createPKCS10(0, kSubject, &query, 1, 0, 2, 0x08000001),
            VEST_UNSUPPORTED_KEY);
  // Token-library statuses pass through: no signature pair on a new token.
  ASSERT_EQ(OBCA_Format(kDevice, 0), 0);
  DataBlob request{0, nullptr};
  EXPECT_EQ(OBCERT_CreateP10(0, 0, 0, kSubject, &request, 0), XCST_CONTAINER_NOT_FOUND);
  env_.RemoveRegistry();
  EXPECT_EQ(OBCERT_CreateP10(0, 0, 0, kSubject, &request, 0), VEST_NO_DEVICE);
}

class InstallationTest : public EnrollmentEndToEndTest {
 protected:
  void SetUp() override {
    EnrollmentEndToEndTest::SetUp();
    Request request = ParseRequest(MakeRequest(kSubject));
    ASSERT_TRUE(request);
    signature_cert_ = authority_.Issue("CN=Zhang San", X509_REQ_get0_pubkey(request.get()));
    Pkey exchange_key = TokenPublicKey("ENROLL_ENC\\01");
    ASSERT_TRUE(exchange_key);
    encryption_cert_ = authority_.Issue("CN=Zhang San (encryption)", exchange_key.get());
  }

  int32_t Install(const std::string &pkcs7, const std::string &xml) {
    return OBCERT_InstallCert(&seal_arg2_, 0, &seal_arg1_, 0, pkcs7.c_str(), 0, xml.c_str(), 0);
  }

  Authority authority_;
  Cert signature_cert_, encryption_cert_;
  int seal_arg1_ = 1, seal_arg2_ = 2;
};

TEST_F(InstallationTest, AnswerInstallsBothCertificates) {
  // The bundle as PEM, then as bare base64 with newer certificates (new
  // serial numbers) for the same keys, which replace the first ones.
  for (bool pem : {true, false}) {
    Cert signature = authority_.Issue("CN=Zhang San", X509_get0_pubkey(signature_cert_.get()));
    Cert encryption =
        authority_.Issue("CN=Zhang San (encryption)", X509_get0_pubkey(encryption_cert_.get()));
    Bundle bundle = BundleOf({authority_.cert(), signature.get()});
    std::string pkcs7 = pem ? PemOf(bundle.get()) : Base64Of(bundle.get());

    EXPECT_EQ(Install(pkcs7, Answer(Base64Lines(Der(encryption.get())))), 0) << pem;
    int32_t status = -1;
    EXPECT_EQ(ReadBack(OB_KEY_TYPE_SIGNATURE, &status), Der(signature.get())) << pem;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadBack(OB_KEY_TYPE_EXCHANGE, &status), Der(encryption.get())) << pem;
    EXPECT_EQ(status, 0);
  }
}

TEST_F(InstallationTest, SealFailuresAreReportedAndWriteNothing) {
  Bundle bundle = BundleOf({authority_.cert(), signature_cert_.get()});
  std::string encryption_b64 = Base64Lines(Der(encryption_cert_.get()));
  struct Case {
    const char *what;
    std::string xml;
    int32_t status;
  };
  const Case cases[] = {
      {"empty value", Answer(encryption_b64, ""), VEST_MISSING_VALUE},
      {"value -1", Answer(encryption_b64, "-1"), VEST_MISSING_VALUE},
      {"comment before root", Answer(encryption_b64, "seal-2", "<!-- x -->"), VEST_MISSING_VALUE},
      {"no root", "<answer/>", VEST_MISSING_VALUE},
      {"not a certificate", Answer("bm90IGEgY2VydA==\n"), VEST_BAD_CERT},
      {"not base64", Answer("***\n"), VEST_BAD_CERT},
      {"certificate of another key", Answer(Base64Lines(Der(signature_cert_.get()))),
       VEST_KEY_MISMATCH},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Install(PemOf(bundle.get()), c.xml), c.status) << c.what;
    int32_t status = 0;
    EXPECT_TRUE(ReadBack(OB_KEY_TYPE_EXCHANGE, &status).empty()) << c.what;
    EXPECT_EQ(status, XCST_CERT_NOT_FOUND) << c.what;
  }
  // The signature certificate went in all the same: its step is independent.
  int32_t status = -1;
  EXPECT_EQ(ReadBack(OB_KEY_TYPE_SIGNATURE, &status), Der(signature_cert_.get()));
}

TEST_F(InstallationTest, Pkcs7FailuresDoNotStopTheSeal) {
  Bundle only_authority = BundleOf({authority_.cert()});
  std::string xml = Answer(Base64Lines(Der(encryption_cert_.get())));
  const std::string bundles[] = {PemOf(only_authority.get()), "not a bundle", ""};
  for (const std::string &pkcs7 : bundles) {
    EXPECT_EQ(Install(pkcs7, xml), 0) << pkcs7;
    int32_t status = 0;
    EXPECT_TRUE(ReadBack(OB_KEY_TYPE_SIGNATURE, &status).empty());
    EXPECT_EQ(status, XCST_CERT_NOT_FOUND);
  }
  // What the library said each time, asked directly.
  EXPECT_EQ(VeltaEnroll_acceptPKCS7(1, PemOf(only_authority.get()).c_str()), VEST_NO_MATCHING_CERT);
  EXPECT_EQ(VeltaEnroll_acceptPKCS7(1, "not a bundle"), VEST_BAD_PKCS7);
  EXPECT_EQ(VeltaEnroll_acceptPKCS7(1, ""), VEST_BAD_PKCS7);
  EXPECT_EQ(VeltaEnroll_acceptPKCS7(1, nullptr), VEST_BAD_ARGUMENT);
  EXPECT_EQ(VeltaEnroll_acceptPKCS7(2, PemOf(only_authority.get()).c_str()), VEST_BAD_ARGUMENT);
}

TEST_F(InstallationTest, SealFlagsAndNullValuesAreRefused) {
  const char *values[6] = {"a", "b", "c", "d", "e", "f"};
  EXPECT_EQ(VeltaEnroll_acceptSeal(nullptr, nullptr, values[0], values[1], values[2], values[3],
                                   values[4], values[5], 1, 1, 1, 0),
            VEST_BAD_ARGUMENT);
  EXPECT_EQ(VeltaEnroll_acceptSeal(nullptr, nullptr, values[0], values[1], nullptr, values[3],
                                   values[4], values[5], 1, 1, 1, 1),
            VEST_MISSING_VALUE);
}

}  // namespace

#include "pvk_blob.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <optional>
#include <vector>

namespace obkey {
namespace {

using Bytes = std::vector<uint8_t>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// Output order of the nine INTEGERs.
enum { kVersion, kModulus, kPublicExp, kPrivateExp, kPrime1, kPrime2, kExp1, kExp2, kCoeff };
// Blob order of the seven key parts, as indexes into the output order.
constexpr int kBlobOrder[7] = {kModulus, kPrime1, kPrime2, kExp1, kExp2, kCoeff, kPrivateExp};

// A CryptoAPI PRIVATEKEYBLOB; |parts| are most significant byte first, in
// output order, already padded to their blob widths.
Bytes MakeBlob(uint32_t bits, uint32_t public_exp, const std::vector<Bytes> &parts) {
  Bytes blob = {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '2'};
  for (uint32_t v : {bits, public_exp}) {
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  for (int idx : kBlobOrder) blob.insert(blob.end(), parts[idx].rbegin(), parts[idx].rend());
  return blob;
}

// Blob widths in output order for a key of |bits|.
std::vector<size_t> Widths(uint32_t bits) {
  const size_t n = bits / 8, h = n / 2;
  return {1, n, 3, n, h, h, h, h, h};
}

// Key parts of an OpenSSL key at their blob widths, in output order.
std::vector<Bytes> PartsOf(EVP_PKEY *key, uint32_t bits) {
  const char *names[9] = {nullptr,
                          OSSL_PKEY_PARAM_RSA_N,
                          nullptr,
                          OSSL_PKEY_PARAM_RSA_D,
                          OSSL_PKEY_PARAM_RSA_FACTOR1,
                          OSSL_PKEY_PARAM_RSA_FACTOR2,
                          OSSL_PKEY_PARAM_RSA_EXPONENT1,
                          OSSL_PKEY_PARAM_RSA_EXPONENT2,
                          OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  const std::vector<size_t> widths = Widths(bits);
  std::vector<Bytes> parts(9);
  for (int i = 0; i < 9; ++i) {
    if (names[i] == nullptr) continue;
    BIGNUM *bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, names[i], &bn), 1);
    parts[i].resize(widths[i]);
    EXPECT_EQ(BN_bn2binpad(bn, parts[i].data(), static_cast<int>(widths[i])),
              static_cast<int>(widths[i]));
    BN_clear_free(bn);
  }
  return parts;
}

// One TLV with a minimal definite length; advances |p|.
bool ReadTlv(const uint8_t *&p, const uint8_t *end, uint8_t tag, Bytes *content) {
  if (end - p < 2 || p[0] != tag) return false;
  size_t len = p[1];
  p += 2;
  if (len > 0x83 || len == 0x80) return false;
  if (len > 0x80) {
    const size_t count = len - 0x80;
    if (static_cast<size_t>(end - p) < count || p[0] == 0) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = len << 8 | *p++;
    if (len < 0x80 || (count > 1 && len < (size_t{1} << (8 * (count - 1))))) return false;
  }
  if (static_cast<size_t>(end - p) < len) return false;
  content->assign(p, p + len);
  p += len;
  return true;
}

// The INTEGER contents of one SEQUENCE that fills |der|, or nothing.
std::optional<std::vector<Bytes>> ReadIntegers(const Bytes &der) {
  const uint8_t *p = der.data();
  Bytes seq;
  if (!ReadTlv(p, der.data() + der.size(), 0x30, &seq) || p != der.data() + der.size()) {
    return std::nullopt;
  }
  std::vector<Bytes> ints;
  for (p = seq.data(); p != seq.data() + seq.size();) {
    if (!ReadTlv(p, seq.data() + seq.size(), 0x02, &ints.emplace_back())) return std::nullopt;
  }
  return ints;
}

Bytes Minimal(Bytes v) {
  while (v.size() > 1 && v[0] == 0 && v[1] < 0x80) v.erase(v.begin());
  return v;
}

Bytes Encode(const Bytes &blob, int *status) {
  Bytes der(kPvkDerCapacity, 0xCC);
  uint32_t asked = 0, written = 0;
  *status = PvkBlobASN1Encode(blob.data(), static_cast<uint32_t>(blob.size()), &asked, nullptr);
  if (*status != 1) return {};
  *status =
      PvkBlobASN1Encode(blob.data(), static_cast<uint32_t>(blob.size()), &written, der.data());
  EXPECT_EQ(asked, written);
  for (size_t i = written; i < der.size(); ++i) EXPECT_EQ(der[i], 0xCC) << i;
  der.resize(written);
  return der;
}

// Encodes |key| and compares with OpenSSL's PKCS #1 DER of it. Returns
// whether any part had a leading zero byte at its blob width.
bool ExpectEncodesLikeOpenSsl(EVP_PKEY *key, uint32_t bits) {
  const std::vector<Bytes> parts = PartsOf(key, bits);
  int status = 0;
  const Bytes ours = Encode(MakeBlob(bits, 65537, parts), &status);
  EXPECT_EQ(status, 1);

  unsigned char *raw = nullptr;
  const int raw_len = i2d_PrivateKey(key, &raw);
  EXPECT_GT(raw_len, 0);
  const Bytes theirs(raw, raw + raw_len);
  OPENSSL_free(raw);

  bool leading_zero = false;
  for (int idx : kBlobOrder) leading_zero |= parts[idx][0] == 0;
  if (!leading_zero) {
    EXPECT_EQ(ours, theirs);
  }

  // OpenSSL refuses INTEGERs with a redundant zero, so compare values here.
  const auto our_ints = ReadIntegers(ours), their_ints = ReadIntegers(theirs);
  EXPECT_TRUE(our_ints && their_ints);
  if (!our_ints || !their_ints) return leading_zero;
  EXPECT_EQ(our_ints->size(), 9u);
  EXPECT_EQ(their_ints->size(), 9u);
  const std::vector<size_t> widths = Widths(bits);
  for (size_t i = 0; i < std::min(our_ints->size(), their_ints->size()); ++i) {
    EXPECT_EQ(Minimal((*our_ints)[i]), (*their_ints)[i]) << "element " << i;
    // Each key part keeps its blob width, plus one byte for a set top bit.
    if (i == kVersion || i == kPublicExp) continue;
    EXPECT_EQ((*our_ints)[i].size(), widths[i] + (parts[i][0] >> 7)) << "element " << i;
  }
  return leading_zero;
}

PkeyPtr Generate(unsigned bits) {
  return PkeyPtr(EVP_RSA_gen(bits), EVP_PKEY_free);
}

TEST(PvkBlobTest, GeneratedKeysMatchOpenSsl) {
  for (unsigned bits : {512u, 1024u, 1024u, 1024u, 1024u, 1024u, 1024u, 1024u, 1024u}) {
    SCOPED_TRACE(bits);
    PkeyPtr key = Generate(bits);
    ASSERT_NE(key, nullptr);
    ExpectEncodesLikeOpenSsl(key.get(), bits);
  }
}

TEST(PvkBlobTest, KeysWithLeadingZeroPartsMatchOpenSslValues) {
  // About one 512-bit key in fifty has a part whose top byte is zero.
  int found = 0;
  for (int tries = 0; tries < 4000 && found < 3; ++tries) {
    PkeyPtr key = Generate(512);
    ASSERT_NE(key, nullptr);
    found += ExpectEncodesLikeOpenSsl(key.get(), 512) ? 1 : 0;
    if (HasFailure()) return;
  }
  EXPECT_EQ(found, 3);
}

// A 1024-bit blob of patterned parts with chosen most significant bytes.
TEST(PvkBlobTest, IntegerWidthsAndFixedElements) {
  const struct {
    int element;
    uint8_t top, next;
    Bytes expected_front;  // of the INTEGER's contents
  } cases[] = {
      {kModulus, 0xC3, 0x11, {0x00, 0xC3, 0x11}}, {kModulus, 0x7F, 0x11, {0x7F, 0x11}},
      {kPrime1, 0x80, 0x00, {0x00, 0x80, 0x00}},  {kPrime2, 0x41, 0xFF, {0x41, 0xFF}},
      {kCoeff, 0x00, 0x7F, {0x00, 0x7F}},         {kPrivateExp, 0x00, 0x80, {0x00, 0x80}},
      {kExp1, 0x00, 0x00, {0x00, 0x00}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.element);
    const std::vector<size_t> widths = Widths(1024);
    std::vector<Bytes> parts(9);
    for (int i : kBlobOrder) {
      parts[i].assign(widths[i], static_cast<uint8_t>(0x20 + i));
      parts[i][0] = 0xE0;
    }
    parts[c.element][0] = c.top;
    parts[c.element][1] = c.next;
    int status = 0;
    const Bytes der = Encode(MakeBlob(1024, 3, parts), &status);
    ASSERT_EQ(status, 1);
    ASSERT_GE(der.size(), 2u);
    EXPECT_EQ(der[0], 0x30);
    EXPECT_EQ(der[1], 0x82);
    const auto ints = ReadIntegers(der);
    ASSERT_TRUE(ints);
    ASSERT_EQ(ints->size(), 9u);
    EXPECT_EQ((*ints)[kVersion], Bytes{0x00});
    EXPECT_EQ((*ints)[kPublicExp], (Bytes{0x01, 0x00, 0x01}));
    const Bytes &got = (*ints)[c.element];
    EXPECT_EQ(got.size(), widths[c.element] + (c.top >> 7));
    EXPECT_TRUE(std::equal(c.expected_front.begin(), c.expected_front.end(), got.begin()));
  }
}

// A 1056-bit key encodes to 622 bytes plus one for each part with its top
// bit set, so the capacity falls between two and three such parts.
Bytes Blob1056(int parts_with_top_bit) {
  const std::vector<size_t> widths = Widths(1056);
  std::vector<Bytes> parts(9);
  for (int i = 0; i < 7; ++i) {
    parts[kBlobOrder[i]].assign(widths[kBlobOrder[i]], 0x55);
    if (i < parts_with_top_bit) parts[kBlobOrder[i]][0] = 0xAA;
  }
  return MakeBlob(1056, 65537, parts);
}

Bytes BlobWithBits(uint32_t bits, size_t len) {
  Bytes blob(len, 0x99);
  for (int i = 0; i < 4; ++i) blob[12 + i] = static_cast<uint8_t>(bits >> (8 * i));
  return blob;
}

TEST(PvkBlobTest, RefusesBadBlobsWithoutWriting) {
  const size_t full_1024 = 20 + 2 * 128 + 5 * 64;
  const struct {
    const char *what;
    Bytes blob;
    int status;
    uint32_t der_len;
  } cases[] = {
      {"1024 exact length", BlobWithBits(1024, full_1024), 1, 0},
      {"1024 one byte short", BlobWithBits(1024, full_1024 - 1), 0, 0},
      {"shorter than the header", BlobWithBits(1024, 19), 0, 0},
      {"bit length 0", BlobWithBits(0, 64), 0, 0},
      {"bit length 8", BlobWithBits(8, 64), 0, 0},
      {"bit length 1032", BlobWithBits(1032, 1024), 0, 0},
      {"bit length 2048", BlobWithBits(2048, 20 + 2 * 256 + 5 * 128), 0, 0},
      {"huge bit length", BlobWithBits(0xFFFFFFF0u, 4096), 0, 0},
      {"1056, two top bits", Blob1056(2), 1, kPvkDerCapacity},
      {"1056, three top bits", Blob1056(3), 0, 0},
      {"1056, all top bits", Blob1056(7), 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(kPvkDerCapacity + 16, 0xCC);
    const uint32_t blob_len = static_cast<uint32_t>(c.blob.size());
    for (uint8_t *dest : {static_cast<uint8_t *>(nullptr), out.data()}) {
      uint32_t der_len = 12345;
      EXPECT_EQ(PvkBlobASN1Encode(c.blob.data(), blob_len, &der_len, dest), c.status);
      if (c.status == 0) {
        EXPECT_EQ(der_len, 12345u);
      }
      if (c.der_len != 0) {
        EXPECT_EQ(der_len, c.der_len);
      }
    }
    if (c.status == 0) {
      EXPECT_EQ(out, Bytes(out.size(), 0xCC));
    }
  }
}

TEST(PvkBlobTest, RecordOverload) {
  struct Record {
    unsigned long cbData;  // a 32-bit Windows DWORD is not uint32_t
    unsigned char *pbData;
  };
  PkeyPtr key = Generate(1024);
  ASSERT_NE(key, nullptr);
  const Bytes blob = MakeBlob(1024, 65537, PartsOf(key.get(), 1024));
  const uint32_t blob_len = static_cast<uint32_t>(blob.size());

  Record query{0, nullptr};
  EXPECT_EQ(PvkBlobASN1Encode(blob.data(), blob_len, &query), 1);
  Bytes out(kPvkDerCapacity);
  Record write{0, out.data()};
  EXPECT_EQ(PvkBlobASN1Encode(blob.data(), blob_len, &write), 1);
  EXPECT_EQ(write.cbData, query.cbData);
  EXPECT_LE(write.cbData, 611u);

  Record failed{7, out.data()};
  EXPECT_EQ(PvkBlobASN1Encode(blob.data(), blob_len - 1, &failed), 0);
  EXPECT_EQ(failed.cbData, 7u);
  EXPECT_EQ(PvkBlobASN1Encode(blob.data(), blob_len, static_cast<Record *>(nullptr)), 0);
}

}  // namespace
}  // namespace obkey

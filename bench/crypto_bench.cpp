// Throughput of each primitive beside OpenSSL's, on the same input in the
// same run. Every benchmark is registered as "<primitive>/obkey" and
// "<primitive>/openssl"; scripts/run-bench.sh turns the pairs into ratios.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_failures.h"
#include "md5.h"
#include "rsa_public.h"
#include "sha1.h"
#include "tdes.h"

namespace {

constexpr size_t kMessageLen = 16 * 1024;

std::vector<uint8_t> Message() {
  std::vector<uint8_t> m(kMessageLen);
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>(i * 131 + 7);
  return m;
}

void ObkeyMd5(benchmark::State &state) {
  const auto msg = Message();
  uint8_t digest[16];
  for (auto _ : state) {
    obkey::Md5Context ctx;
    obkey::Md5Init(&ctx);
    obkey::Md5Update(&ctx, msg.data(), kMessageLen);
    obkey::Md5Final(digest, &ctx);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageLen));
}

void ObkeySha1(benchmark::State &state, obkey::Sha1Engine engine) {
  const auto msg = Message();
  const obkey::Sha1Engine saved = obkey::Sha1ActiveEngine();
  if (!obkey::Sha1SelectEngine(engine)) {
    obkey_bench::FailBenchmark(state, "engine not available");
    return;
  }
  uint8_t digest[20];
  for (auto _ : state) {
    obkey::Sha1Context ctx;
    obkey::Sha1Init(&ctx);
    obkey::Sha1Update(&ctx, msg.data(), kMessageLen);
    obkey::Sha1Final(&ctx, digest);
    benchmark::DoNotOptimize(digest);
  }
  obkey::Sha1SelectEngine(saved);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageLen));
}

void OpenSslDigest(benchmark::State &state, const EVP_MD *md) {
  const auto msg = Message();
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, msg.data(), kMessageLen);
    EVP_DigestFinal_ex(ctx, digest, &len);
    benchmark::DoNotOptimize(digest);
  }
  EVP_MD_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageLen));
}

const uint8_t kKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                          0x76, 0x54, 0x32, 0x10, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67};

enum class Mode { kEcb, kCbc, kCfb, kOfb };

void ObkeyTripleDes(benchmark::State &state, Mode mode) {
  auto data = Message();
  uint8_t key[24];
  std::memcpy(key, kKey, sizeof key);
  obkey::TripleDesContext ctx;
  if (obkey::TripleDesSetKey(key, 24, &ctx) != 0) {
    obkey_bench::FailBenchmark(state, "key refused");
    return;
  }
  const int32_t len = static_cast<int32_t>(kMessageLen);
  for (auto _ : state) {
    uint8_t vector[8] = {0};
    int32_t position = 0;
    switch (mode) {
      case Mode::kEcb:
        obkey::TripleDesEcbEncrypt(&ctx, data.data(), len);
        break;
      case Mode::kCbc:
        obkey::TripleDesCbcEncrypt(&ctx, vector, data.data(), len);
        break;
      case Mode::kCfb:
        obkey::TripleDesCfb64Encrypt(&ctx, vector, &position, data.data(), len);
        break;
      case Mode::kOfb:
        obkey::TripleDesOfb64(&ctx, vector, &position, data.data(), len);
        break;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageLen));
}

void OpenSslTripleDes(benchmark::State &state, Mode mode) {
  auto data = Message();
  const EVP_CIPHER *cipher = mode == Mode::kEcb   ? EVP_des_ede3_ecb()
                             : mode == Mode::kCbc ? EVP_des_ede3_cbc()
                             : mode == Mode::kCfb ? EVP_des_ede3_cfb64()
                                                  : EVP_des_ede3_ofb();
  const uint8_t iv[8] = {0};
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey, iv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int out_len = 0;
  for (auto _ : state) {
    // A fresh vector per message, as the obkey side starts from zero.
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
    EVP_EncryptUpdate(ctx, data.data(), &out_len, data.data(), static_cast<int>(kMessageLen));
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageLen));
}

struct RsaFixture {
  RSA *rsa = nullptr;
  obkey::RsaPublicKey record{};
  std::vector<uint8_t> block;
};

RsaFixture MakeRsa(int bits) {
  RsaFixture f;
  f.rsa = RSA_new();
  BIGNUM *e = BN_new();
  BN_set_word(e, 65537);
  RSA_generate_key_ex(f.rsa, bits, e, nullptr);
  BN_free(e);
  const BIGNUM *n = nullptr, *pub = nullptr;
  RSA_get0_key(f.rsa, &n, &pub, nullptr);
  f.record.bits = static_cast<uint32_t>(BN_num_bits(n));
  BN_bn2binpad(n, f.record.modulus, sizeof f.record.modulus);
  BN_bn2binpad(pub, f.record.exponent, sizeof f.record.exponent);
  f.block.assign(static_cast<size_t>(bits / 8), 0x5C);
  f.block[0] = 0x00;
  return f;
}

void ObkeyRsa(benchmark::State &state, int bits) {
  RsaFixture f = MakeRsa(bits);
  std::vector<uint8_t> out(f.block.size());
  uint32_t out_len = 0;
  for (auto _ : state) {
    obkey::RsaPublicBlock(out.data(), &out_len, f.block.data(),
                          static_cast<uint32_t>(f.block.size()), &f.record);
    benchmark::DoNotOptimize(out.data());
  }
  RSA_free(f.rsa);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void OpenSslRsa(benchmark::State &state, int bits) {
  RsaFixture f = MakeRsa(bits);
  std::vector<uint8_t> out(f.block.size());
  for (auto _ : state) {
    RSA_public_encrypt(static_cast<int>(f.block.size()), f.block.data(), out.data(), f.rsa,
                       RSA_NO_PADDING);
    benchmark::DoNotOptimize(out.data());
  }
  RSA_free(f.rsa);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void RegisterAll() {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("md5/obkey", ObkeyMd5);
  RegisterBenchmark("md5/openssl", OpenSslDigest, EVP_md5());
  RegisterBenchmark("sha1/obkey", ObkeySha1, obkey::Sha1ActiveEngine());
  RegisterBenchmark("sha1/openssl", OpenSslDigest, EVP_sha1());
  RegisterBenchmark("sha1-portable/obkey", ObkeySha1, obkey::Sha1Engine::kPortable);
  RegisterBenchmark("sha1-portable/openssl", OpenSslDigest, EVP_sha1());
  const struct {
    const char *name;
    Mode mode;
  } modes[] = {{"3des-ecb", Mode::kEcb},
               {"3des-cbc", Mode::kCbc},
               {"3des-cfb64", Mode::kCfb},
               {"3des-ofb64", Mode::kOfb}};
  for (const auto &m : modes) {
    RegisterBenchmark((std::string(m.name) + "/obkey").c_str(), ObkeyTripleDes, m.mode);
    RegisterBenchmark((std::string(m.name) + "/openssl").c_str(), OpenSslTripleDes, m.mode);
  }
  for (int bits : {1024, 2048}) {
    const std::string name = "rsa" + std::to_string(bits) + "-public";
    RegisterBenchmark((name + "/obkey").c_str(), ObkeyRsa, bits);
    RegisterBenchmark((name + "/openssl").c_str(), OpenSslRsa, bits);
  }
}

}  // namespace

int main(int argc, char **argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return obkey_bench::ExitStatus();
}

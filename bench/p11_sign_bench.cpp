// p11_sign_bench: what a signature through p11token costs against the
// module's own signature with a fresh session (open, sign init, sign,
// close): PKCS #11 calls per signature, counted by the test shim in front of
// the module, and the time ratio. Over SoftHSMv2 in a store of its own, then
// (when p11-kit is installed) over SoftHSMv2 behind `p11-kit server`, reached
// through p11-kit's client in a second process. Exits 1 when a signature
// fails.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "module.h"
#include "objects.h"
#include "p11token_api.h"
#include "p11token_guard.h"

namespace p11 = obkey::p11token;

namespace {

constexpr int kRounds = 300;
using obkey_bench::kUserPin;

using Clock = std::chrono::steady_clock;

int32_t SignOnce() {
  XcHandle session = 0, container = 0;
  int32_t status = p11::Guarded([&] { return p11::ConnectEkey(0, &session); });
  if (status != 0) return status;
  uint8_t out[XC_RSA_BLOCK];
  uint32_t len = sizeof(uint32_t);
  status =
      p11::Guarded([&] { return p11::SetCurContainer(session, XC_SLOT_SIGNATURE, &container); });
  if (status == 0) {
    status = p11::Guarded(
        [&] { return p11::GetContainerParam(container, XC_CONTAINER_PARAM_FLAGS, out, &len, 0); });
  }
  const uint8_t digest[20] = {7};
  len = sizeof(out);
  if (status == 0) {
    status = p11::Guarded([&] {
      return p11::RSASign(container, digest, sizeof(digest), out, &len,
                          XC_KEY_SIGNATURE + XC_KEY_SIGN_FLAG);
    });
  }
  p11::Guarded([&] { return p11::DisconnectEkey(session); });
  return status;
}

// Prepare formats device 0 and makes a container with both pairs.
int32_t Prepare() {
  XcHandle session = 0, container = 0;
  int32_t status = p11::Guarded([] { return p11::FormatToken("ZARQU.1974", "x", 0); });
  if (status == 0) status = p11::Guarded([&] { return p11::ConnectEkey(0, &session); });
  if (status == 0) {
    status = p11::Guarded([&] {
      return p11::VerifyPin(session, reinterpret_cast<const uint8_t *>(kUserPin), 8, XC_PIN_USER);
    });
  }
  if (status == 0) {
    status = p11::Guarded([&] {
      return p11::CreateContainer(session, "BENCH_SIG", &container, XC_CONTAINER_CREATE);
    });
  }
  for (uint32_t type : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
    if (status == 0) status = p11::Guarded([&] { return p11::GenRSAKey(container, type); });
  }
  p11::Guarded([&] { return p11::DisconnectEkey(session); });
  return status;
}

// ModuleOwnSign: the module's own signature with a fresh session.
bool ModuleOwnSign(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, CK_OBJECT_HANDLE key) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
    return false;
  CK_MECHANISM mechanism{CKM_RSA_X_509, nullptr, 0};
  uint8_t block[XC_RSA_BLOCK] = {0, 1, 2}, out[XC_RSA_BLOCK];
  CK_ULONG len = sizeof(out);
  bool ok = f->C_SignInit(session, &mechanism, key) == CKR_OK &&
            f->C_Sign(session, block, sizeof(block), out, &len) == CKR_OK;
  f->C_CloseSession(session);
  return ok;
}

// Interleaved, one of each in turn, so that the machine's load weighs on
// both alike.
template <typename Ours, typename Theirs>
bool TimeBoth(Ours ours, Theirs theirs, double *ours_us, double *theirs_us) {
  Clock::duration ours_total{}, theirs_total{};
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    if (!theirs()) return false;
    auto middle = Clock::now();
    if (!ours()) return false;
    ours_total += Clock::now() - middle;
    theirs_total += middle - start;
  }
  *ours_us = std::chrono::duration<double, std::micro>(ours_total).count() / kRounds;
  *theirs_us = std::chrono::duration<double, std::micro>(theirs_total).count() / kRounds;
  return true;
}

// Measure prints "<calls per signature> <p11token us> <module us>".
int Measure(const char *shim_path) {
  if (Prepare() != 0 || SignOnce() != 0) {
    std::fprintf(stderr, "p11_sign_bench: the token could not be prepared\n");
    return 1;
  }
  void *shim = dlopen(shim_path, RTLD_NOW | RTLD_NOLOAD);
  auto calls = reinterpret_cast<unsigned long (*)(const char *)>(dlsym(shim, "ShimCalls"));
  auto reset = reinterpret_cast<void (*)()>(dlsym(shim, "ShimReset"));
  reset();
  if (SignOnce() != 0) return 1;
  unsigned long per_signature = calls(nullptr);

  CK_FUNCTION_LIST *f = nullptr;
  CK_SLOT_ID slot = 0;
  std::vector<CK_OBJECT_HANDLE> keys;
  p11::Cryptoki c;
  if (p11::ModuleFunctions(&f) != 0 || p11::FindDeviceSlot(f, 0, &slot) != 0 ||
      f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &c.session) != CKR_OK) {
    return 1;
  }
  c.functions = f;
  if (p11::FindLabelled(c, CKO_PRIVATE_KEY, p11::KeyLabel("BENCH_SIG", XC_KEY_SIGNATURE), &keys) !=
          0 ||
      keys.empty()) {
    return 1;
  }
  double module_us = 0, p11token_us = 0;
  if (!TimeBoth([] { return SignOnce() == 0; },
                [&] { return ModuleOwnSign(f, slot, keys.front()); }, &p11token_us, &module_us)) {
    std::fprintf(stderr, "p11_sign_bench: a signature failed\n");
    return 1;
  }
  std::printf("%lu %.1f %.1f\n", per_signature, p11token_us, module_us);
  return 0;
}

std::string Run(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) out += buffer;
  return pclose(pipe) == 0 ? out : "";
}

void Report(const char *what, const std::string &figures, double target) {
  unsigned long calls = 0;
  double ours = 0, module = 0;
  if (std::sscanf(figures.c_str(), "%lu %lf %lf", &calls, &ours, &module) != 3) return;
  double ratio = ours / module;
  std::printf("%-28s %6lu %10.1f %10.1f %7.2f %7.2f  %s\n", what, calls, ours, module, ratio,
              target, ratio <= target && calls <= 8 ? "meets target" : "ABOVE TARGET");
}

}  // namespace

int main(int argc, char **argv) {
  const char *shim = OBKEY_P11_SHIM;
  if (argc > 1 && std::strcmp(argv[1], "--measure") == 0) return Measure(shim);
  std::error_code no_temp;
  std::string dir =
      (std::filesystem::temp_directory_path(no_temp) / "obkey-p11-bench-XXXXXX").string();
  if (no_temp || mkdtemp(dir.data()) == nullptr) return 1;
  mkdir((dir + "/tokens").c_str(), 0700);
  FILE *conf = std::fopen((dir + "/softhsm2.conf").c_str(), "w");
  std::fprintf(conf,
               "directories.tokendir = %s/tokens\nobjectstore.backend = file\n"
               "log.level = ERROR\nslots.removable = false\n",
               dir.c_str());
  std::fclose(conf);
  std::string env = "SOFTHSM2_CONF=" + dir + "/softhsm2.conf OBKEY_PKCS11_LOCK_DIR=" + dir +
                    " OBKEY_PKCS11_MODULE=" + shim + " ";
  std::string self = std::string("'") + argv[0] + "' --measure";
  Run(env + "softhsm2-util --init-token --free --label bench --so-pin ZARQU.1974 --pin " +
      kUserPin + " >/dev/null");
  std::string local = Run(env + "OBKEY_SHIM_TARGET=" + OBKEY_SOFTHSM2_MODULE + " " + self);
  std::string remote;
  if (!Run("command -v p11-kit").empty()) {
    std::string socket = dir + "/server.sock";
    remote = Run(env + "sh -c 'p11-kit server -f -n " + socket + " --provider " +
                 OBKEY_SOFTHSM2_MODULE + " pkcs11:token=bench >/dev/null 2>&1 & server=$!; " +
                 "for i in $(seq 50); do [ -S " + socket + " ] && break; sleep 0.1; done; " +
                 "P11_KIT_SERVER_ADDRESS=unix:path=" + socket + " OBKEY_SHIM_TARGET=" +
                 OBKEY_P11KIT_CLIENT + " " + self + "; status=$?; kill $server; exit $status'");
  }
  Run("rm -rf '" + dir + "'");
  std::printf("%-28s %6s %10s %10s %7s %7s\n", "signature (fresh session)", "calls", "p11token",
              "module", "ratio", "target");
  Report("SoftHSMv2", local, 1.5);
  Report("SoftHSMv2 via p11-kit client", remote, 2.0);
  return local.empty() ? 1 : 0;
}

// Many callers on one software token, mixing calls: P processes of T
// threads each sign, check signatures, list and write labelled files, log
// in and draw random bytes for a fixed wall-clock window. Each process is
// this program started afresh (its own library state).
//
// Output: one line per point, "mixed,<P>,<T>,<calls>,<timeouts>,<failures>,
// <worst ms>": timeouts are calls answered XCST_TOKEN_BUSY (a lock wait
// that ran out), failures any other nonzero status, and the worst the
// longest call. scripts/run-bench.sh prints them. The program fails when a
// call failed or timed out.
//
// Options: --seconds=S (window, default 20), --points=4x8,16x4 (processes x
// threads), --timeout-ms=N (the token's lock timeout, default its own).
// With $OBKEY_MIXED_TRACE set, every call that takes over a second is
// printed with its kind and status.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "obkey.h"
#include "softtoken_status.h"
#include "token_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using obkey_bench::Require;

struct Options {
  double seconds = 20;
  std::vector<std::pair<int, int>> points = {{4, 8}, {16, 4}};
  bool worker = false;
  int threads = 1;
};

Options ParseOptions(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(0, eq),
                      value = eq == std::string::npos ? "" : arg.substr(eq + 1);
    if (key == "--seconds") {
      options.seconds = std::stod(value);
    } else if (key == "--points") {
      options.points.clear();
      std::stringstream in(value);
      for (std::string point; std::getline(in, point, ',');) {
        int processes = 0, threads = 0;
        if (std::sscanf(point.c_str(), "%dx%d", &processes, &threads) != 2 || processes < 1 ||
            threads < 1)
          throw std::invalid_argument("bad point " + point);
        options.points.emplace_back(processes, threads);
      }
    } else if (key == "--timeout-ms") {
      setenv("XCSP_TOKEN_LOCK_TIMEOUT_MS", value.c_str(), 1);
    } else if (key == "--worker") {
      options.worker = true;
    } else if (key == "--threads") {
      options.threads = std::stoi(value);
    } else {
      throw std::invalid_argument("unknown option " + arg);
    }
  }
  return options;
}

// ---- a worker process ----

struct Tally {
  long calls = 0;
  long timeouts = 0;
  long failures = 0;
  double worst = 0;
};

// OneCall makes call number `i` of thread `thread`: mostly signatures, as a
// signing service makes, with the other kinds of call between them.
int32_t OneCall(int thread, long i) {
  static const uint8_t kData[20] = {1, 2, 3};
  uint8_t block[obkey_bench::kRsaBlock];
  uint32_t len = sizeof(block);
  switch (i % 8) {
    case 2: {
      uint8_t signature[obkey_bench::kRsaBlock];
      uint32_t signature_len = sizeof(signature);
      int32_t status =
          OB_AsymmetricSignData(nullptr, kData, sizeof(kData), signature, &signature_len, 0);
      if (status != 0) return status;
      return OB_AsymmetricVerifySign(nullptr, block, &len, signature, signature_len, 0);
    }
    case 3: {
      uint8_t list[200];
      uint32_t count = 0;
      return OBCA_ReadLabelList(0, list, &count);
    }
    case 4: {
      const std::string label = "MIX" + std::to_string(thread % 8);
      const uint8_t data[64] = {static_cast<uint8_t>(i)};
      return OBCA_ImportFile(label.c_str(), 0, data, sizeof(data));
    }
    case 6:
      return OBCA_Login(1, obkey_bench::kUserPin);
    case 7: {
      uint8_t random[16];
      DataBlob out{sizeof(random), random};
      return OB_GenRandom(&out);
    }
    default:
      return OB_AsymmetricSignData(nullptr, kData, sizeof(kData), block, &len, 0);
  }
}

void CallUntil(int thread, Clock::time_point deadline, Tally *tally) {
  for (long i = thread; Clock::now() < deadline; ++i) {
    const Clock::time_point before = Clock::now();
    const int32_t status = OneCall(thread, i);
    const double took = std::chrono::duration<double>(Clock::now() - before).count();
    ++tally->calls;
    tally->worst = std::max(tally->worst, took);
    if (std::getenv("OBKEY_MIXED_TRACE") != nullptr && took > 1.0) {
      std::fprintf(stderr, "slow call kind %ld: %.3f s, status %d\n", i % 8, took, status);
    }
    if (status == XCST_TOKEN_BUSY) {
      ++tally->timeouts;
    } else if (status != 0) {
      ++tally->failures;
      std::fprintf(stderr, "mixed callers: call kind %ld: status %d\n", i % 8, status);
    }
  }
}

// RunWorker logs in, prints "ready", waits for its standard input to close
// (the common start), runs its threads and prints "result <calls>
// <timeouts> <failures> <worst s>".
int RunWorker(const Options &options) {
  Require(OBCA_Login(1, obkey_bench::kUserPin) == 0, "OBCA_Login");
  std::printf("ready\n");
  std::fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  const Clock::time_point deadline =
      Clock::now() +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
  std::vector<Tally> tallies(options.threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < options.threads; ++t)
    threads.emplace_back(CallUntil, t, deadline, &tallies[t]);
  for (std::thread &thread : threads) thread.join();
  Tally total;
  for (const Tally &tally : tallies) {
    total.calls += tally.calls;
    total.timeouts += tally.timeouts;
    total.failures += tally.failures;
    total.worst = std::max(total.worst, tally.worst);
  }
  std::printf("result %ld %ld %ld %.6f\n", total.calls, total.timeouts, total.failures,
              total.worst);
  return 0;
}

// ---- the parent ----

bool ReadLine(int fd, std::string *line) {
  line->clear();
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c == '\n') return true;
    *line += c;
  }
  return false;
}

struct Worker {
  pid_t pid = -1;
  int output = -1;
};

Worker Spawn(const std::vector<std::string> &args, int go) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    std::vector<char *> argv;
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    if (dup2(go, STDIN_FILENO) >= 0 && dup2(out[1], STDOUT_FILENO) >= 0)
      execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(out[1]);
  return Worker{pid, out[0]};
}

// RunPoint runs `processes` workers of `threads` threads and prints the
// point's line; false when a worker failed or a call did not succeed.
bool RunPoint(const Options &options, int processes, int threads) {
  int go[2];
  if (pipe2(go, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const std::vector<std::string> args = {"obkey_mixed_bench", "--worker",
                                         "--threads=" + std::to_string(threads),
                                         "--seconds=" + std::to_string(options.seconds)};
  std::vector<Worker> workers;
  std::string line;
  bool ok = true;
  for (int i = 0; i < processes && ok; ++i) {
    workers.push_back(Spawn(args, go[0]));
    ok = ReadLine(workers.back().output, &line) && line == "ready";
  }
  close(go[0]);
  close(go[1]);
  Tally total;
  for (const Worker &worker : workers) {
    Tally tally;
    ok = ReadLine(worker.output, &line) &&
         std::sscanf(line.c_str(), "result %ld %ld %ld %lf", &tally.calls, &tally.timeouts,
                     &tally.failures, &tally.worst) == 4 &&
         ok;
    total.calls += tally.calls;
    total.timeouts += tally.timeouts;
    total.failures += tally.failures;
    total.worst = std::max(total.worst, tally.worst);
    close(worker.output);
    int status = 0;
    ok = waitpid(worker.pid, &status, 0) == worker.pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0 && ok;
  }
  if (!ok) {
    std::fprintf(stderr, "mixed callers %dx%d: a worker failed\n", processes, threads);
    return false;
  }
  std::printf("mixed,%d,%d,%ld,%ld,%ld,%.1f\n", processes, threads, total.calls, total.timeouts,
              total.failures, total.worst * 1000);
  std::fflush(stdout);
  return total.timeouts == 0 && total.failures == 0;
}

int RunParent(const Options &options) {
  // The lowest PIN derivation cost: a login here measures the lock, not
  // scrypt.
  setenv("XCSP_TOKEN_SCRYPT_LOG2N", "10", 1);
  obkey_test::TokenTestEnv env(obkey_test::DeviceValue(obkey_bench::kMainDevice));
  setenv("XCSP_TOKEN_DIR", (env.folder() + "/tokens").c_str(), 1);
  Require(OBCA_Format(obkey_bench::kMainDevice, 0) == 0, "format");
  Require(OBCA_Login(1, obkey_bench::kUserPin) == 0, "login");
  uint8_t name1[64] = {}, name2[64] = {};
  DataBlob record1{0, name1}, record2{0, name2};
  Require(OB_GenAsymmetricKey("BENCH_SIG", &record1, &record2, 0, 0, 2) == 0, "key pair");
  bool ok = true;
  for (const auto &[processes, threads] : options.points) {
    ok = RunPoint(options, processes, threads) && ok;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    const Options options = ParseOptions(argc, argv);
    if (options.worker) return RunWorker(options);
    signal(SIGPIPE, SIG_IGN);
    return RunParent(options);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "mixed callers: %s\n", e.what());
    return 1;
  }
}

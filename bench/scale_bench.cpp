// Signatures per second with N processes on one token, and with N threads
// in one process, for obkey beside OpenSSL and SoftHSMv2 (scale_signers.h).
// Each process is this program started afresh (its own library state): it
// logs in once, signs once, says it is ready, waits for the common start and
// then signs for a fixed wall-clock window, timing every signature.
//
// Output: one line per point, "scale,<kind>,<mode>,<N>,<signatures/s>,<slowest ms>";
// scripts/run-bench.sh turns them into ratios. A point that fails (a failed
// signature, a worker that dies) prints no figures, and the program goes on
// to the next point and fails at the end.
//
// Options: --seconds=S (window, default 2), --counts=1,2,4,8,
// --modes=processes,threads, --kinds=obkey,openssl,softhsm (obkey-pkcs11
// alone when $OBKEY_BENCH_TOKEN_LIBRARY is pkcs11).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scale_signers.h"
#include "store_file.h"
#include "token_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using obkey_bench::SignerKind;

struct Options {
  double seconds = 2;
  std::vector<int> counts = {1, 2, 4, 8};
  std::vector<std::string> modes = {"processes", "threads"};
  std::vector<std::string> kinds = {"obkey", "openssl", "softhsm"};
  // Worker only.
  std::string worker_kind;
  int threads = 1;
  std::string folder;
};

std::vector<std::string> Split(const std::string &text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
  return parts;
}

Options ParseOptions(int argc, char **argv) {
  Options options;
  const char *over = std::getenv("OBKEY_BENCH_TOKEN_LIBRARY");
  if (over != nullptr && std::strcmp(over, "pkcs11") == 0) options.kinds = {"obkey-pkcs11"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(0, eq),
                      value = eq == std::string::npos ? "" : arg.substr(eq + 1);
    if (key == "--seconds") {
      options.seconds = std::stod(value);
    } else if (key == "--counts") {
      options.counts.clear();
      for (const std::string &n : Split(value)) options.counts.push_back(std::stoi(n));
    } else if (key == "--modes") {
      options.modes = Split(value);
    } else if (key == "--kinds") {
      options.kinds = Split(value);
    } else if (key == "--worker") {
      options.worker_kind = value;
    } else if (key == "--threads") {
      options.threads = std::stoi(value);
    } else if (key == "--folder") {
      options.folder = value;
    } else {
      throw std::invalid_argument("unknown option " + arg);
    }
  }
  return options;
}

const SignerKind &Kind(const std::string &name) {
  const SignerKind *kind = obkey_bench::FindSignerKind(name);
  if (kind == nullptr) throw std::invalid_argument("unknown kind " + name);
  return *kind;
}

// ---- a worker process ----

struct ThreadTally {
  long count = 0;
  double seconds = 0;  // from the start to its last signature's end
  double slowest = 0;
  bool failed = false;
};

void SignUntil(const obkey_bench::SignOnce &sign, Clock::time_point start,
               Clock::time_point deadline, ThreadTally *tally) {
  for (Clock::time_point now = start; now < deadline;) {
    const Clock::time_point before = Clock::now();
    if (!sign()) {
      tally->failed = true;
      return;
    }
    now = Clock::now();
    ++tally->count;
    tally->slowest = std::max(tally->slowest, std::chrono::duration<double>(now - before).count());
    tally->seconds = std::chrono::duration<double>(now - start).count();
  }
}

// RunWorker prints "ready" once set up, waits for its standard input to
// close (the common start) and prints "result <signatures/s> <slowest s>".
int RunWorker(const Options &options) {
  const SignerKind &kind = Kind(options.worker_kind);
  auto process = kind.OpenProcess(options.folder);
  std::vector<obkey_bench::SignOnce> signers;
  for (int i = 0; i < options.threads; ++i) {
    signers.push_back(process->NewThreadSigner());
    if (!signers.back()()) throw std::runtime_error("first signature failed");
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }

  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options.seconds));
  std::vector<ThreadTally> tallies(signers.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < signers.size(); ++i)
    threads.emplace_back(SignUntil, std::cref(signers[i]), start, deadline, &tallies[i]);
  for (std::thread &thread : threads) thread.join();

  double rate = 0, slowest = 0;
  for (const ThreadTally &tally : tallies) {
    if (tally.failed || tally.count == 0) throw std::runtime_error("a signature failed");
    rate += tally.count / tally.seconds;
    slowest = std::max(slowest, tally.slowest);
  }
  std::printf("result %.1f %.6f\n", rate, slowest);
  return 0;
}

// ---- the parent ----

struct Worker {
  pid_t pid = -1;
  int output = -1;  // the worker's standard output
};

// Spawn starts this program as a worker; its standard input is `go`.
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

// ReadLine reads one line from `fd`; false at the end of the stream.
bool ReadLine(int fd, std::string *line) {
  line->clear();
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c == '\n') return true;
    *line += c;
  }
  return false;
}

struct Point {
  double rate = 0;
  double slowest = 0;
};

// RunPoint runs `processes` workers of `threads` threads each and returns
// the total rate and the slowest signature; throws if any of them fails.
Point RunPoint(const Options &options, const std::string &kind, int processes, int threads) {
  int go[2];
  if (pipe2(go, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> args = {
      "obkey_scale_bench", "--worker=" + kind, "--threads=" + std::to_string(threads),
      "--seconds=" + std::to_string(options.seconds), "--folder=" + options.folder};
  // Workers set up one at a time: set-up is not measured, and SoftHSMv2
  // may miss its token while another process logs in.
  std::vector<Worker> workers;
  std::string error, line;
  for (int i = 0; i < processes && error.empty(); ++i) {
    workers.push_back(Spawn(args, go[0]));
    if (!ReadLine(workers.back().output, &line) || line != "ready")
      error = "a worker did not get ready";
  }
  close(go[0]);
  close(go[1]);  // the common start
  Point point;
  for (const Worker &worker : workers) {
    double rate = 0, slowest = 0;
    if (!ReadLine(worker.output, &line) ||
        std::sscanf(line.c_str(), "result %lf %lf", &rate, &slowest) != 2) {
      if (error.empty()) error = "a worker gave no result";
    }
    point.rate += rate;
    point.slowest = std::max(point.slowest, slowest);
    close(worker.output);
    int status = 0;
    if (waitpid(worker.pid, &status, 0) != worker.pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      if (error.empty()) error = "a worker failed";
    }
  }
  if (!error.empty()) throw std::runtime_error(error);
  return point;
}

// Folder is a fresh folder holding the configuration (naming device 0), the
// log, the software token's stores, SoftHSMv2's token and OpenSSL's key;
// removed when the program ends. Workers find it through the environment.
class Folder {
 public:
  Folder() : env_(obkey_test::DeviceValue(0)) {
    setenv("XCSP_TOKEN_DIR", (env_.folder() + "/tokens").c_str(), 1);
  }
  const std::string &path() const { return env_.folder(); }

 private:
  obkey_test::TokenTestEnv env_;
};

int RunParent(Options options) {
  // Logins are not what this measures (token_bench does): the lowest PIN
  // derivation cost keeps eight workers' set-up short.
  setenv("XCSP_TOKEN_SCRYPT_LOG2N", "10", 1);
  Folder folder;
  options.folder = folder.path();
  bool software_token = false;
  for (const std::string &kind : options.kinds) {
    Kind(kind).SetUpToken(folder.path());
    software_token = software_token || kind == "obkey";
  }
  // A store is reused only once it has rested (store_file.h); wait as a
  // token untouched since the last change would have.
  if (software_token) usleep((obkey::softtoken::kStoreSettleMs + 200) * 1000);

  // The kinds of one point run back to back, so that a ratio compares
  // figures taken under the same load of the machine.
  bool failed = false;
  for (const std::string &mode : options.modes) {
    if (mode != "processes" && mode != "threads")
      throw std::invalid_argument("unknown mode " + mode);
    for (int n : options.counts) {
      for (const std::string &kind : options.kinds) {
        const bool processes = mode == "processes";
        Point point;
        try {
          point = RunPoint(options, kind, processes ? n : 1, processes ? 1 : n);
        } catch (const std::exception &e) {
          std::fprintf(stderr, "scale point %s, %s, N = %d failed: %s\n", kind.c_str(),
                       mode.c_str(), n, e.what());
          failed = true;
          continue;
        }
        std::printf("scale,%s,%s,%d,%.0f,%.2f\n", kind.c_str(), mode.c_str(), n, point.rate,
                    point.slowest * 1000);
        std::fflush(stdout);
      }
    }
  }
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    Options options = ParseOptions(argc, argv);
    if (!options.worker_kind.empty()) return RunWorker(options);
    // A worker that dies leaves its pipe closed: a failed read, not a signal.
    signal(SIGPIPE, SIG_IGN);
    return RunParent(options);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "scale benchmark: %s\n", e.what());
    return 1;
  }
}

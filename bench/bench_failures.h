// A benchmark that cannot do its work reports it with SkipWithError, which
// the library prints and then goes on; FailBenchmark also counts it, so that
// the program's exit status tells a smoke run that a benchmark failed.
#ifndef OBKEY_BENCH_BENCH_FAILURES_H
#define OBKEY_BENCH_BENCH_FAILURES_H

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>

namespace obkey_bench {

inline std::atomic<int> &FailedBenchmarks() {
  static std::atomic<int> count{0};
  return count;
}

inline void FailBenchmark(benchmark::State &state, const char *why) {
  ++FailedBenchmarks();
  state.SkipWithError(why);
}

// ExitStatus is what main returns once the benchmarks have run.
inline int ExitStatus() {
  const int failed = FailedBenchmarks();
  if (failed == 0) return 0;
  std::fprintf(stderr, "%d benchmark(s) failed\n", failed);
  return 1;
}

}  // namespace obkey_bench

#endif  // OBKEY_BENCH_BENCH_FAILURES_H

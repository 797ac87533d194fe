#!/usr/bin/env bash
# Runs the crypto benchmarks and prints, for each primitive, its throughput as
# a ratio of OpenSSL's measured in the same run, and whether it meets its
# target. Benchmarks are never a pass/fail test: the exit status is that of
# the benchmark program only.
#
# Usage: scripts/run-bench.sh [build-dir]   (default: build-bench)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
bench=$build/bench/obkey_crypto_bench

if [ ! -x "$bench" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOBKEY_BUILD_BENCH=ON >&2
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target obkey_crypto_bench >&2
fi

csv=$(mktemp)
trap 'rm -f "$csv"' EXIT
# CPU time of the median of three repetitions: steadier than wall time on a
# shared machine.
"$bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 --benchmark_format=csv >"$csv"

awk -F, '
  BEGIN {
    target["md5"] = 0.9; target["sha1"] = 0.8; target["sha1-portable"] = 0
    target["3des-ecb"] = 0.9; target["3des-cbc"] = 0.9
    target["3des-cfb64"] = 0.9; target["3des-ofb64"] = 0.9
    target["rsa1024-public"] = 0.3; target["rsa2048-public"] = 0.3
  }
  /_median"?,/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    split(name, part, "/")
    cpu[part[1], part[2]] = $4
    if (!(part[1] in seen)) { seen[part[1]] = 1; order[++n] = part[1] }
  }
  END {
    printf "%-16s %12s %12s %7s %7s  %s\n", "primitive", "obkey", "openssl", "ratio", "target", "result"
    for (i = 1; i <= n; i++) {
      p = order[i]; ours = cpu[p, "obkey"]; theirs = cpu[p, "openssl"]
      if (ours == "" || theirs == "" || ours == 0) continue
      ratio = theirs / ours
      t = (p in target) ? target[p] : 0
      verdict = t == 0 ? "(informative)" : (ratio >= t ? "meets target" : "BELOW TARGET")
      printf "%-16s %12.0f %12.0f %7.2f %7.2f  %s\n", p, ours, theirs, ratio, t, verdict
    }
    print "(times are CPU ns per 16 KiB message, or per RSA operation)"
  }' "$csv"

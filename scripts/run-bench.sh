#!/usr/bin/env bash
# Runs the benchmarks and prints, for each, its figure as a ratio of the
# reference measured in the same run, beside its goal. Benchmarks are never
# a pass/fail test: the exit status is that of the benchmark programs only.
#
# Usage: scripts/run-bench.sh [build-dir]   (default: build-bench)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

root=$OBKEY_ROOT
build=${1:-$root/build-bench}
crypto_bench=$build/bench/obkey_crypto_bench
token_bench=$build/bench/obkey_token_bench
scale_bench=$build/bench/obkey_scale_bench
p11_bench=$build/bench/obkey_p11_sign_bench
mixed_bench=$build/bench/obkey_mixed_bench
# Wall-clock seconds per point of the scale table, and of the many callers.
scale_seconds=${OBKEY_SCALE_SECONDS:-2}
mixed_seconds=${OBKEY_MIXED_SECONDS:-20}

if [ ! -x "$crypto_bench" ] || [ ! -x "$token_bench" ] || [ ! -x "$scale_bench" ] ||
  [ ! -x "$p11_bench" ] || [ ! -x "$mixed_bench" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOBKEY_BUILD_BENCH=ON \
    -DOBKEY_BUILD_TESTS=OFF >&2
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" \
    --target obkey_crypto_bench obkey_token_bench obkey_scale_bench obkey_p11_sign_bench \
    obkey_mixed_bench >&2
fi

crypto_csv=$(mktemp)
token_csv=$(mktemp)
scale_csv=$(mktemp)
trap 'rm -f "$crypto_csv" "$token_csv" "$scale_csv"' EXIT
# CPU time, three repetitions in one process: steadier than wall time on a
# shared machine.
"$crypto_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 --benchmark_format=csv >"$crypto_csv"
# The token calls are judged against their floor, measured by other
# benchmarks of the same run: their repetitions are interleaved in random
# order, so that a machine whose speed drifts (a shared host) weighs on a
# call and on its floor alike rather than on whichever ran in a slow spell.
# The login writes the store, after which every connect reads it whole for
# a moment (store_file.h): it runs apart, after the others.
token_runs=(--benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 --benchmark_format=csv)
"$token_bench" "${token_runs[@]}" --benchmark_filter='-^(login|scrypt)/' >"$token_csv"
"$token_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_filter='^(login|scrypt)/' --benchmark_format=csv | grep -v '^name,' >>"$token_csv"

# obkey over p11token and a SoftHSMv2 token: the same program with p11token's
# libraries first on the library path, as they would sit beside obkey.
bash "$root/scripts/bench-over-pkcs11.sh" "$token_bench" "$build" "${token_runs[@]}" |
  grep -v '^name,' >>"$token_csv"
# Interleaved repetitions come out in a random order: list them by name.
sorted_rows=$(tail -n +2 "$token_csv" | LC_ALL=C sort -t, -k1,1)
{
  head -n 1 "$token_csv"
  printf '%s\n' "$sorted_rows"
} >"$token_csv.sorted"
mv "$token_csv.sorted" "$token_csv"

# Processes and threads on one token. Every kind is measured at one point
# before the next point starts, twice, the second time in the reverse order
# (A B B A), so that a ratio compares runs seconds apart and a machine whose
# speed drifts weighs on both alike. A failed point prints no figure; the
# other points still run, and the run fails at the end.
scale_status=0
scale_point() {
  "$scale_bench" "$@" >>"$scale_csv" || scale_status=1
}
scale_point_over_pkcs11() {
  bash "$root/scripts/bench-over-pkcs11.sh" "$scale_bench" "$build" "$@" >>"$scale_csv" ||
    scale_status=1
}
for mode in processes threads; do
  for count in 1 2 4 8; do
    point=(--seconds="$scale_seconds" --modes="$mode" --counts="$count")
    scale_point "${point[@]}" --kinds=obkey,openssl,softhsm
    scale_point_over_pkcs11 "${point[@]}"
    scale_point_over_pkcs11 "${point[@]}"
    scale_point "${point[@]}" --kinds=softhsm,openssl,obkey
  done
done

echo "== Primitives (throughput ratio obkey / OpenSSL, higher is better)"
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
  }' "$crypto_csv"

echo
echo "== Token path (CPU us per call; min and median of seven interleaved repetitions)"
awk -F, '
  function us(name, stat) { return cpu[name, stat] }
  # ratio(label, ours, reference, goal, direction): direction "<=" means
  # ours/reference must not exceed goal; ">=" means reference/ours must reach it.
  # floor_row(label, call, reference): the call against its floor: the
  # session, the configuration read, the log entries the call writes (each
  # an append the interface requires; the benchmark counts them) and the
  # reference operation alone ("" for none); goal 1.1x.
  function floor_row(label, a, ref,    floor, r, entries) {
    entries = log_entries[a]
    if (entries == "") {
      printf "%-44s %10s %10s %8s  %s\n", label, "n/a", "n/a", "n/a", "(log entries not counted)"
      return
    }
    entries = int(entries + 0.5)
    label = label " (" entries " log entries)"
    floor = us("session/obkey", "median") + us("configuration/obkey", "median") + entries * us("log-entry/obkey", "median")
    if (ref != "") floor += us(ref, "median")
    if (us(a, "median") == "" || floor == 0) {
      printf "%-44s %10s %10s %8s  %s\n", label, "n/a", "n/a", "n/a", "(not measured)"
      return
    }
    r = us(a, "median") / floor
    printf "%-44s %10.2f %10.2f %7.2fx  <= 1.10x  %s\n", label, us(a, "median"), floor, r,
           r <= 1.1 ? "meets goal" : "MISSES GOAL"
  }
  function row(label, a, b, goal, direction, unit,    r, ok) {
    if (us(a, "median") == "" || us(b, "median") == "" || us(a, "median") == 0) {
      printf "%-44s %10s %10s %8s  %s\n", label, "n/a", "n/a", "n/a", "(not measured)"
      return
    }
    r = direction == "<=" ? us(a, "median") / us(b, "median") : us(b, "median") / us(a, "median")
    ok = direction == "<=" ? r <= goal : r >= goal
    printf "%-44s %10.2f %10.2f %7.2fx  %s %.2fx  %s\n", label, us(a, "median"), us(b, "median"), r,
           direction, goal, ok ? "meets goal" : "MISSES GOAL"
  }
  /^name,/ { for (i = 1; i <= NF; i++) if ($i == "log_entries" || $i == "\"log_entries\"") entries_column = i }
  /_(median|min)"?,/ {
    name = $1; gsub(/"/, "", name)
    stat = name; sub(/.*_/, "", stat); sub(/_(median|min)$/, "", name)
    # Times are in microseconds (the benchmarks set the unit).
    cpu[name, stat] = $4
    if (stat == "median" && entries_column > 0 && $entries_column != "") log_entries[name] = $entries_column
    if (!(name in seen)) { seen[name] = 1; order[++n] = name }
  }
  END {
    printf "%-22s %10s %10s\n", "benchmark", "min", "median"
    for (i = 1; i <= n; i++) printf "%-22s %10.2f %10.2f\n", order[i], us(order[i], "min"), us(order[i], "median")
    print ""
    printf "%-44s %10s %10s %8s  %s\n", "goal", "obkey", "reference", "ratio", "goal"
    row("OB_AsymmetricSignData / OpenSSL private", "sign/obkey", "sign/openssl", 1.2, "<=")
    row("  moonshot", "sign/obkey", "sign/openssl", 1.1, "<=")
    row("SoftHSMv2 sign / OB_AsymmetricSignData", "sign/obkey", "sign/softhsm", 2.0, ">=")
    # Calls measured against their own floor: the fixed part of every call
    # (below) plus what OpenSSL alone needs for the operation, if any.
    floor_row("OB_AsymmetricVerifySign / its floor", "verify/obkey", "public/openssl")
    floor_row("OB_AsymmetricEncrypt / its floor", "encrypt/obkey", "encrypt/openssl")
    floor_row("OB_GenRandom / its floor", "random/obkey", "random/openssl")
    floor_row("OBCA_ReadLabelList / its floor", "labellist/obkey", "")
    floor_row("OBCA_ExportFile 4 KB / its floor", "exportfile/obkey", "")
    row("session, full store / empty store", "session-size/full", "session-size/empty", 1.1, "<=")
    login = us("login/obkey", "median"); scrypt = us("scrypt/openssl", "median")
    if (login != "")
      printf "%-44s %10.3f %10s %8s  <= 0.50 s   %s\n", "OBCA_Login, right PIN, default cost (s)",
             login / 1e6, "", "", login / 1e6 <= 0.5 ? "meets goal" : "MISSES GOAL"
    if (scrypt != "" && scrypt > 0)
      printf "%-44s %10.2f %10s %8s  <= 10/s     %s\n", "scrypt alone: PIN guesses per second per core",
             1e6 / scrypt, "", "", 1e6 / scrypt <= 10 ? "meets goal" : "MISSES GOAL"
    print ""
    print "obkey over p11token and SoftHSMv2 (informative: the token does the RSA):"
    printf "  %-34s %10s %10s\n", "call", "median us", "/ SoftHSMv2 sign"
    split("sign verify encrypt", calls, " ")
    for (k = 1; k <= 3; k++) {
      name = calls[k] "/obkey-pkcs11"; m = us(name, "median"); ref = us("sign/softhsm", "median")
      if (m == "") { printf "  %-34s %10s\n", calls[k], "n/a"; continue }
      printf "  %-34s %10.2f %9.2fx\n", calls[k], m, ref == "" || ref == 0 ? 0 : m / ref
    }
    s = us("session/obkey", "median")
    printf "%-44s %10.2f %10s %8s  <= 3.00 us  %s\n", "session open + close (us)", s, "", "",
           (s != "" && s <= 3.0) ? "meets goal" : "MISSES GOAL"
    c = us("configuration/obkey", "median"); l = us("log-entry/obkey", "median")
    if (c != "" && l != "") {
      print ""
      printf "Fixed part of every token call (us, median): session %.2f + configuration read %.2f\n", s, c
      printf "  + 2 log entries %.2f = %.2f, before the operation and its own log entries\n", 2 * l, s + c + 2 * l
    }
    print ""
    print "Session cost against store size (us, median):"
    for (i = 1; i <= n; i++) {
      if (order[i] ~ /^session-size\//) {
        label = order[i]; sub(/^session-size\//, "", label)
        printf "  %-8s %8.2f\n", label, us(order[i], "median")
      }
    }
    print "(store sizes: empty = formatted; 14KB and 50KB of user files; full = 64 KiB of"
    print " user files, both containers with both key pairs and 4 KB certificates)"
  }' "$token_csv"

echo
echo "== Scale: signatures per second, total over N processes (or N threads in one"
echo "   process) on one token; wall clock, twice ${scale_seconds} s per point"
awk -F, '
  # Each point is measured twice: the mean of the rates, and of the slowest
  # signature of each window.
  $1 == "scale" {
    rate_sum[$2, $3, $4] += $5; slowest_sum[$2, $3, $4] += $6; seen[$2, $3, $4]++
    rate[$2, $3, $4] = rate_sum[$2, $3, $4] / seen[$2, $3, $4]
    slowest[$2, $3, $4] = slowest_sum[$2, $3, $4] / seen[$2, $3, $4]
  }
  function cell(v, format) { return v == "" ? "failed" : sprintf(format, v) }
  # ratio_row(label, ours, reference, mode): ours/reference at each N, all
  # of them at least 0.8 to meet the goal.
  function ratio_row(label, a, b, mode,    i, r, ok, line, moon) {
    ok = 1; moon = 1; line = ""
    for (i = 1; i <= 4; i++) {
      if (rate[a, mode, N[i]] == "" || rate[b, mode, N[i]] == "" || rate[b, mode, N[i]] == 0) {
        line = line sprintf(" %7s", "n/a"); ok = 0; moon = 0; continue
      }
      r = rate[a, mode, N[i]] / rate[b, mode, N[i]]
      line = line sprintf(" %6.2fx", r)
      if (r < 0.8) ok = 0
      if (r < 0.9) moon = 0
    }
    printf "%-40s%s  >= 0.80x  %s%s\n", label, line, ok ? "meets goal" : "MISSES GOAL",
           moon ? " (and 0.90x)" : ""
  }
  END {
    split("1 2 4 8", N, " ")
    split("obkey openssl softhsm obkey-pkcs11", kinds, " ")
    split("processes threads", modes, " ")
    printf "%-28s %9s %9s %9s %9s   %s\n", "signatures/s", "N=1", "N=2", "N=4", "N=8", "slowest ms at N=1..8"
    for (m = 1; m <= 2; m++) for (k = 1; k <= 4; k++) {
      printf "%-28s", kinds[k] ", " modes[m]
      for (i = 1; i <= 4; i++) printf " %9s", cell(rate[kinds[k], modes[m], N[i]], "%.0f")
      printf "  "
      for (i = 1; i <= 4; i++) printf " %s", cell(slowest[kinds[k], modes[m], N[i]], "%.2f")
      print ""
    }
    print ""
    printf "%-40s %7s %7s %7s %7s\n", "goal (ratio at each N)", "N=1", "N=2", "N=4", "N=8"
    ratio_row("obkey / OpenSSL, processes", "obkey", "openssl", "processes")
    ratio_row("obkey / OpenSSL, threads", "obkey", "openssl", "threads")
    ratio_row("obkey-pkcs11 / SoftHSMv2, processes", "obkey-pkcs11", "softhsm", "processes")
    ratio_row("obkey-pkcs11 / SoftHSMv2, threads", "obkey-pkcs11", "softhsm", "threads")
    for (k = 1; k <= 4; k++) {
      if (kinds[k] == "openssl") continue
      v = slowest[kinds[k], "processes", 8]
      printf "%-40s %7s ms  < 50 ms   %s\n", "slowest, 8 processes: " kinds[k], cell(v, "%.2f"),
             v == "" ? "(not measured)" : (kinds[k] == "softhsm" ? "(reference)" : (v < 50 ? "meets goal" : "MISSES GOAL"))
    }
    print "(obkey-pkcs11: obkey over p11token and SoftHSMv2; softhsm: SoftHSMv2 directly,"
    print " a session per signature; openssl: a kept key)"
  }' "$scale_csv"
echo
echo "== Many callers on one token: 4 processes x 8 threads and 16 x 4, each thread"
echo "   signing, checking, listing and writing labelled files, logging in and drawing"
echo "   random bytes for ${mixed_seconds} s; waiters are served in the order they came"
mixed_status=0
mixed_out=$("$mixed_bench" --seconds="$mixed_seconds" --points=4x8,16x4) || mixed_status=1
printf '%s\n' "$mixed_out" | awk -F, '
  BEGIN { printf "%-10s %9s %9s %9s %12s  %s\n", "callers", "calls", "timeouts", "failures", "worst wait", "goal" }
  $1 == "mixed" {
    n = $2 * $3
    goal = n >= 64 ? (($5 == 0 && $6 == 0) ? "meets goal (0 timeouts)" : "MISSES GOAL") : "(informative)"
    printf "%-10s %9d %9d %9d %9.0f ms  %s\n", $2 "x" $3, $4, $5, $6, $7, goal
  }'

echo
echo "== A signature through p11token: PKCS #11 calls and time against the module's own"
echo "   (open session, sign init, sign, close), locally and through p11-kit's client"
p11_status=0
"$p11_bench" || p11_status=1

if [ "$scale_status" -ne 0 ]; then
  echo "scale benchmark: a point failed (see above)" >&2
  exit 1
fi
if [ "$mixed_status" -ne 0 ]; then
  echo "mixed callers benchmark: a call failed or timed out (see above)" >&2
  exit 1
fi
if [ "$p11_status" -ne 0 ]; then
  echo "p11token signature benchmark: a signature failed (see above)" >&2
  exit 1
fi

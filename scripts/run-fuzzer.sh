#!/usr/bin/env bash
# run-fuzzer.sh <fuzzer> <seconds> <seed corpus> <work corpus> [dictionary]
# Runs one libFuzzer target for a bounded time. New inputs go to the work
# corpus (in the build tree), never into the checked-in seeds; a crash input
# is written beside the work corpus and fails the run.
set -euo pipefail
fuzzer=$1 seconds=$2 seeds=$3 work=$4 dict=${5:-}
mkdir -p "$work"
args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
      -artifact_prefix="$work/../$(basename "$fuzzer")-")
if [ -n "$dict" ]; then args+=(-dict="$dict"); fi
# make test fixes the seed, so that its short run takes the same mutations
# on every machine and a verdict does not change from run to run; make fuzz
# leaves it to chance.
if [ -n "${OBKEY_FUZZ_SEED:-}" ]; then args+=(-seed="$OBKEY_FUZZ_SEED"); fi
exec "$fuzzer" "${args[@]}" "$work" "$seeds"

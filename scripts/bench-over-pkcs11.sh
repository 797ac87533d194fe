#!/usr/bin/env bash
# bench-over-pkcs11.sh BENCH BUILD_DIR [BENCHMARK_OPTION...]: runs a token
# benchmark (obkey_token_bench or obkey_scale_bench) over p11token and a
# fresh SoftHSMv2 token, p11token's libraries first on the library path as
# they would sit beside obkey. Its exit status is the benchmark's: a failed
# call fails it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
token_bench=$1 build=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
obkey_softhsm_token "$work" >/dev/null
OBKEY_PKCS11_MODULE=$(obkey_softhsm_module) OBKEY_PKCS11_LOCK_DIR="$work" \
  LD_LIBRARY_PATH="$build/p11token" OBKEY_BENCH_TOKEN_LIBRARY=pkcs11 "$token_bench" "$@"

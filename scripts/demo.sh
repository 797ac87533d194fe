#!/usr/bin/env bash
# make demo: obkey end to end on the software token.
set -euo pipefail
build_dir=${1:-build}
if [ ! -x "$build_dir/tools/obkeyctl" ]; then
  echo "obkey demo: not yet — the software token and obkeyctl have not landed in this build."
  exit 0
fi

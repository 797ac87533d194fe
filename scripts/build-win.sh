#!/usr/bin/env bash
# Cross-builds the 32-bit Windows DLLs and the Wine test programs.
set -euo pipefail
build_dir=${1:-build-win}
here=$(cd "$(dirname "$0")/.." && pwd)
openssl_root=$(bash "$here/scripts/build-openssl-mingw.sh" | tail -n 1)
cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686-w64-mingw32.cmake" \
  -DOBKEY_OPENSSL_ROOT="$openssl_root"
cmake --build "$build_dir" -j"${JOBS:-2}"

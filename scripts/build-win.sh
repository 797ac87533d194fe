#!/usr/bin/env bash
# build-win.sh [BUILD_DIR] [i686|x86_64] [CMAKE_OPTION...]: cross-builds the
# Windows DLLs and the Wine test programs for one architecture (default i686,
# the 32-bit product); `ctest --test-dir BUILD_DIR` then runs the Windows
# tests.
set -euo pipefail
build_dir=${1:-build-win}
arch=${2:-i686}
shift $(($# < 2 ? $# : 2))
here=$(cd "$(dirname "$0")/.." && pwd)
openssl_root=$(bash "$here/scripts/build-openssl-mingw.sh" "$arch" | tail -n 1)
cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw.cmake" -DOBKEY_WIN_ARCH="$arch" \
  -DOBKEY_OPENSSL_ROOT="$openssl_root" "$@"
cmake --build "$build_dir" -j"${JOBS:-2}"

#!/usr/bin/env bash
# win-binaries.sh BUILD_DIR: every DLL and program of a Windows build tree,
# one path a line (the Wine prefixes and the staged copies left out).
set -euo pipefail
build_dir=${1:-build-win}
find "$build_dir" \( -path "$build_dir/wineprefix*" -o -path "$build_dir/wine-run" \
  -o -path "$build_dir/dist" -o -name CMakeFiles \) -prune -o \( -name '*.dll' -o -name '*.exe' \) -type f -print | sort

#!/usr/bin/env bash
# check-format.sh: every C and C++ source of the repository is as
# clang-format (with the repository's .clang-format) would write it.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null || find . -path ./build\* -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
clang-format --dry-run -Werror $files
echo "check-format: $(echo "$files" | wc -w) files formatted"

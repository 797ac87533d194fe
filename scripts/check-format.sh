#!/usr/bin/env bash
# check-format.sh: every C and C++ source of the repository is as
# clang-format (with the repository's .clang-format) would write it.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null) || [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(find . -path ./build\* -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
fi
clang-format --dry-run -Werror "${files[@]}"
echo "check-format: ${#files[@]} files formatted"
# The scripts, as ShellCheck would have them: no finding at any level.
mapfile -t scripts < <(git ls-files 'scripts/*.sh' 2>/dev/null || find scripts -name '*.sh')
shellcheck -x -P scripts "${scripts[@]}"
echo "check-format: ${#scripts[@]} scripts pass ShellCheck"

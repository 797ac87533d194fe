#!/usr/bin/env bash
# check-exports.sh LIBRARY DEF_FILE: the shared library exports exactly the
# names of the .def file, nothing more and nothing less.
set -euo pipefail
library=$1
def_file=$2
expected=$(sed -n 's/^[ \t]\{1,\}\([A-Za-z_][A-Za-z_0-9]*\).*/\1/p' "$def_file" | LC_ALL=C sort)
actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}' |
  sed 's/@.*//' | LC_ALL=C sort -u)
if [ "$expected" != "$actual" ]; then
  echo "check-exports: $library differs from $def_file (< expected, > exported):" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "check-exports: $(basename "$library") exports the $(echo "$expected" | wc -l) names of $(basename "$def_file")"

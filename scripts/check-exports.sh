#!/usr/bin/env bash
# check-exports.sh LIBRARY DEF_FILE [LIBRARY DEF_FILE]...: each shared
# library (a Linux .so or a Windows DLL) exports exactly the names of its .def
# file, functions and data alike, nothing more and nothing less. A DLL must
# also import no MinGW runtime DLL, so that it drops in with nothing beside it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
if [ $# -eq 0 ] || [ $(($# % 2)) -ne 0 ]; then
  echo "usage: check-exports.sh LIBRARY DEF_FILE [LIBRARY DEF_FILE]..." >&2
  exit 2
fi

status=0
while [ $# -gt 0 ]; do
  library=$1 def_file=$2
  shift 2
  if [ ! -f "$library" ]; then
    echo "check-exports: $library is missing" >&2
    status=1
    continue
  fi
  expected=$(obkey_def_names "$def_file")
  actual=$(obkey_exported_names "$library")
  if [ -z "$expected" ] || [ "$expected" != "$actual" ]; then
    echo "check-exports: $library differs from $def_file (< expected, > exported):" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    status=1
    continue
  fi
  if [[ $library == *.dll ]] && x86_64-w64-mingw32-objdump -p "$library" | grep -i 'DLL Name: lib' >&2; then
    echo "check-exports: $library imports a MinGW runtime DLL" >&2
    status=1
    continue
  fi
  echo "check-exports: $(basename "$library") exports the $(echo "$expected" | wc -l) names of $(basename "$def_file")"
done
exit $status

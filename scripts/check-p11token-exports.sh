#!/usr/bin/env bash
# Compares the export tables of the PKCS #11 token libraries in <folder>
# (Linux .so, or i686 or x86_64 .dll) with the .def files obkey imports them by: the
# same names, nothing more. The DLLs must also import nothing but Windows
# system DLLs, so that they drop in beside obkey.dll alone.
set -euo pipefail
folder=${1:?usage: check-p11token-exports.sh <folder with the p11token libraries>}
# The x86_64 tree passes OBJDUMP=x86_64-w64-mingw32-objdump.
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
here=$(cd "$(dirname "$0")/.." && pwd)
status=0

# check <library> <def file>
check() {
  local library=$1 def=$2 expected actual
  if [ ! -f "$library" ]; then
    echo "check-p11token-exports: $library is missing"
    status=1
    return
  fi
  expected=$(sed -n '/^EXPORTS/,$p' "$def" | tail -n +2 | awk 'NF {print $1}' | sort)
  case "$library" in
    *.dll)
      actual=$("$objdump" -p "$library" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}' | sort)
      if "$objdump" -p "$library" | grep -i 'DLL Name: lib'; then
        echo "check-p11token-exports: $library imports a MinGW runtime DLL"
        status=1
      fi
      ;;
    *)
      actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TW]$/ {print $3}' | sort)
      ;;
  esac
  if [ "$expected" != "$actual" ]; then
    echo "check-p11token-exports: the exports of $library differ from $def:"
    diff <(echo "$expected") <(echo "$actual") || true
    status=1
  fi
}

if [ -f "$folder/xcsp_eclib.dll" ]; then
  check "$folder/xcsp_eclib.dll" "$here/include/vendor/xcsp_eclib.def"
  check "$folder/KeyOperation.dll" "$here/include/vendor/KeyOperation.def"
else
  check "$folder/libxcsp_eclib.so" "$here/include/vendor/xcsp_eclib.def"
  check "$folder/libKeyOperation.so" "$here/include/vendor/KeyOperation.def"
fi
[ $status -eq 0 ] && echo "check-p11token-exports: $folder matches the .def files"
exit $status

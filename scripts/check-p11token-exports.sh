#!/usr/bin/env bash
# check-p11token-exports.sh FOLDER: scripts/check-exports.sh over the two
# PKCS #11 token libraries in FOLDER (Linux .so or Windows DLLs).
set -euo pipefail
folder=${1:?usage: check-p11token-exports.sh <folder with the p11token libraries>}
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$folder/xcsp_eclib.dll" ]; then
  set -- "$folder/xcsp_eclib.dll" "$folder/KeyOperation.dll"
else
  set -- "$folder/libxcsp_eclib.so" "$folder/libKeyOperation.so"
fi
exec bash "$here/check-exports.sh" "$1" "$here/../include/vendor/xcsp_eclib.def" \
  "$2" "$here/../include/vendor/KeyOperation.def"

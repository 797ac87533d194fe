#!/usr/bin/env bash
# run-wine-tests.sh BUILD_WIN: runs the Windows test programs of a Windows
# build tree (i686 or x86_64) under Wine, each in a folder of its own holding
# obkey.dll and the token library it is to be tested against. The Wine
# prefix, 32-bit or 64-bit as the tree is, lives in the build tree.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:-build-win}" && pwd)
obkey_read_build_env "$build_dir"
obkey_wine_env "$build_dir/wineprefix" "$OBKEY_WINEARCH"

status=0
run() {
  local folder=$1
  shift
  (cd "$folder" && wine ./obkey_wine_tests.exe "$@") || status=1
}
enrollment=()
if [ -f "$build_dir/enrollsim/VeltaNxoEnrollApi.dll" ]; then
  enrollment=("$build_dir/enrollsim/VeltaNxoEnrollApi.dll")
fi
# stage NAME TOKEN_DIR: obkey.dll, the token libraries of TOKEN_DIR and the
# test programs, side by side as a client would have them.
stage() {
  obkey_stage "$build_dir/wine-run/$1" "$build_dir/lib/obkey.dll" "$build_dir/wine/"*.exe \
    "$2/xcsp_eclib.dll" "$2/KeyOperation.dll" ${enrollment[@]+"${enrollment[@]}"}
  echo "$build_dir/wine-run/$1"
}

fake_folder=$(stage fake "$build_dir/fake")
obkey_set_device 5
run "$fake_folder" fake

obkey_unset_device
run "$fake_folder" unconfigured

if [ -f "$build_dir/softtoken/xcsp_eclib.dll" ]; then
  soft_folder=$(stage softtoken "$build_dir/softtoken")
  # Token stores inside the prefix, fresh for every run.
  export XCSP_TOKEN_DIR='c:\obkey-tokens' XCSP_TOKEN_SCRYPT_LOG2N=10
  rm -rf "$WINEPREFIX/drive_c/obkey-tokens"
  obkey_set_device 5
  # The flow runs once on the portable SHA-1 engine and once on the one the
  # CPU picks (the SHA instructions where it has them); on i686 each with the
  # stack off the 16-byte boundary a compiler might assume. An x64 caller
  # always keeps that boundary, so there is no skew to choose there.
  if [ "$OBKEY_WIN_PLATFORM" = win64 ]; then
    OBKEY_SHA1_ENGINE=portable run "$soft_folder" softtoken
    run "$soft_folder" softtoken
  else
    OBKEY_SHA1_ENGINE=portable run "$soft_folder" softtoken 8
    run "$soft_folder" softtoken 4
  fi
else
  echo "run-wine-tests: no software token in $build_dir; its Wine tests were not run"
  status=1
fi

(cd "$fake_folder" && wine ./obkey_xml_com_test.exe) || status=1

wineserver --wait || true
exit $status

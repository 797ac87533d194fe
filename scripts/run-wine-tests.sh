#!/usr/bin/env bash
# run-wine-tests.sh BUILD_WIN: runs the Windows test programs of a Windows
# build tree (i686 or x86_64) under Wine, each in a folder of its own holding
# obkey.dll and the token library it is to be tested against. The Wine
# prefix, 32-bit or 64-bit as the tree is, lives in the build tree.
set -euo pipefail
build_dir=$(cd "${1:-build-win}" && pwd)
OBKEY_WIN_PLATFORM=win32
OBKEY_WINEARCH=win32
if [ -f "$build_dir/windows-build.env" ]; then
  . "$build_dir/windows-build.env"
fi

export WINEPREFIX="$build_dir/wineprefix"
export WINEARCH=$OBKEY_WINEARCH
export WINEDEBUG=-all
# No Mono or Gecko installer prompts in a headless run, and no message box
# waiting for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
export OBKEY_NO_MESSAGE_BOX=1
unset DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver --wait || true
fi

config_key='HKLM\SOFTWARE\orbisoft\Implement Type'
# `wine reg` is the 32-bit reg.exe, which in a 64-bit prefix writes the
# 32-bit view of the registry; a 64-bit obkey.dll reads the 64-bit one.
reg_view=()
if [ "$OBKEY_WINEARCH" = win64 ]; then
  reg_view=(/reg:64)
fi

# stage <folder> <token library folder>: obkey.dll, the token libraries and
# the test program, side by side as a client would have them.
stage() {
  local folder="$build_dir/wine-run/$1"
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$build_dir/lib/obkey.dll" "$build_dir/wine/"*.exe "$folder/"
  cp "$2/xcsp_eclib.dll" "$2/KeyOperation.dll" "$folder/"
  if [ -f "$build_dir/enrollsim/VeltaNxoEnrollApi.dll" ]; then
    cp "$build_dir/enrollsim/VeltaNxoEnrollApi.dll" "$folder/"
  fi
  echo "$folder"
}

status=0
run() {
  local folder=$1
  shift
  (cd "$folder" && wine ./obkey_wine_tests.exe "$@") || status=1
}

fake_folder=$(stage fake "$build_dir/fake")
wine reg add "$config_key" /v USBKEY /t REG_SZ /d XCSP_KEY_5 /f "${reg_view[@]}" >/dev/null
run "$fake_folder" fake

wine reg delete "$config_key" /v USBKEY /f "${reg_view[@]}" >/dev/null 2>&1 || true
run "$fake_folder" unconfigured

if [ -f "$build_dir/softtoken/xcsp_eclib.dll" ]; then
  soft_folder=$(stage softtoken "$build_dir/softtoken")
  # Token stores inside the prefix, fresh for every run.
  export XCSP_TOKEN_DIR='c:\obkey-tokens' XCSP_TOKEN_SCRYPT_LOG2N=10
  rm -rf "$WINEPREFIX/drive_c/obkey-tokens"
  wine reg add "$config_key" /v USBKEY /t REG_SZ /d XCSP_KEY_5 /f "${reg_view[@]}" >/dev/null
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
  # obkeyctl.exe as a user runs it, over the same software token.
  OBKEY_REG_VIEW="${reg_view[*]}" bash "$(dirname "$0")/wine-obkeyctl-smoke.sh" "$build_dir" ||
    status=1
else
  echo "run-wine-tests: no software token in $build_dir; its Wine tests were not run"
  status=1
fi

(cd "$fake_folder" && wine ./obkey_xml_com_test.exe) || status=1

wineserver --wait || true
exit $status

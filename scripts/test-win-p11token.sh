#!/usr/bin/env bash
# test-win-p11token.sh BUILD_WIN: the Windows obkey.dll and obkeyctl.exe over
# p11token's xcsp_eclib.dll and KeyOperation.dll and a SoftHSMv2 module
# cross-built for the tree's architecture (build-softhsm-mingw.sh), under
# Wine in a prefix of the test's own: a token made with softhsm2-util.exe,
# formatted, a key generated, a signature checked with the openssl command.
set -uo pipefail
build_dir=$(cd "${1:-build-win}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib.sh
. "$here/lib.sh"
OBKEY_WINEARCH=win32
# shellcheck disable=SC1091
[ -f "$build_dir/windows-build.env" ] && . "$build_dir/windows-build.env"
arch=i686
reg_view=""
if [ "$OBKEY_WINEARCH" = win64 ]; then
  arch=x86_64
  reg_view=/reg:64
fi
softhsm=$(bash "$here/build-softhsm-mingw.sh" "$arch" | tail -n1) || exit 1

folder="$build_dir/wine-run/p11token"
rm -rf "$folder"
mkdir -p "$folder/tokens"
cp "$build_dir/bin/obkeyctl.exe" "$build_dir/lib/obkey.dll" "$build_dir/p11token/xcsp_eclib.dll" \
  "$build_dir/p11token/KeyOperation.dll" "$build_dir/enrollsim/VeltaNxoEnrollApi.dll" \
  "$softhsm/libsofthsm2.dll" "$softhsm/softhsm2-util.exe" "$folder/"
cd "$folder" || exit 1
export WINEPREFIX="$build_dir/wineprefix-p11token" WINEARCH=$OBKEY_WINEARCH WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1 || true
windows_folder="Z:${folder//\//\\}"
printf 'directories.tokendir = %s\\tokens\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
  "$windows_folder" >softhsm2.conf
export SOFTHSM2_CONF="$windows_folder\\softhsm2.conf"
export OBKEY_PKCS11_MODULE="$windows_folder\\libsofthsm2.dll"
export OBKEYCTL_PIN=12345678
config_key='HKLM\SOFTWARE\orbisoft\Implement Type'
failures=0
check() {
  if ! "$@" >>log.txt 2>&1; then
    echo "wine p11token: FAILED: $*"
    failures=$((failures + 1))
  fi
}

# softhsm2-util.exe faults in Wine on its way out, after its work is done.
wine ./softhsm2-util.exe --module "$OBKEY_PKCS11_MODULE" --init-token --free --label obkey \
  --so-pin "$OBKEY_ADMIN_PIN" --pin 12345678 >>log.txt 2>&1
check bash -c "ls tokens | grep -q ."
check wine ./obkeyctl.exe config init --device 0
check wine ./obkeyctl.exe format --yes
check wine ./obkeyctl.exe genkey WINE_SIG --type sig --pin-env OBKEYCTL_PIN
printf 'signed under Wine through p11token and SoftHSMv2\n' >message.txt
check bash -c "wine ./obkeyctl.exe sign - --pin-env OBKEYCTL_PIN <message.txt | cat >message.sig"
check test "$(wc -c <message.sig)" = 128
check bash -c "wine ./obkeyctl.exe export-pubkey 'WINE_SIG\\03' >signer.pem"
check openssl dgst -sha1 -verify signer.pem -signature message.sig message.txt
check bash -c "wine ./obkeyctl.exe status | grep -q 'signature container (slot 0): WINE_SIG'"
wine reg delete "$config_key" /v USBKEY /f $reg_view >/dev/null 2>&1 || true

if [ "$failures" -ne 0 ]; then
  tail -n 20 log.txt
  echo "wine p11token ($arch): $failures failure(s)"
  exit 1
fi
echo "wine p11token ($arch): passed"

#!/usr/bin/env bash
# test-win-p11token.sh BUILD_WIN: the Windows obkey.dll and obkeyctl.exe over
# p11token's xcsp_eclib.dll and KeyOperation.dll and a SoftHSMv2 module
# cross-built for the tree's architecture (build-softhsm-mingw.sh), under
# Wine in a prefix of the test's own: a token made with softhsm2-util.exe,
# formatted, a key generated, a signature checked with the openssl command.
set -euo pipefail
build_dir=$(cd "${1:-build-win}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib.sh
. "$here/lib.sh"
obkey_read_build_env "$build_dir"
arch=${OBKEY_MINGW_PREFIX%%-*}
softhsm=$(bash "$here/build-softhsm-mingw.sh" "$arch" | tail -n1)

folder="$build_dir/wine-run/p11token"
obkey_stage_client "$folder" "$build_dir" "$build_dir/p11token"
cp "$softhsm/libsofthsm2.dll" "$softhsm/softhsm2-util.exe" "$folder/"
mkdir "$folder/tokens"
cd "$folder"
obkey_wine_env "$build_dir/wineprefix-p11token" "$OBKEY_WINEARCH"
windows_folder="Z:${folder//\//\\}"
printf 'directories.tokendir = %s\\tokens\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
  "$windows_folder" >softhsm2.conf
export SOFTHSM2_CONF="$windows_folder\\softhsm2.conf"
export OBKEY_PKCS11_MODULE="$windows_folder\\libsofthsm2.dll"
export OBKEYCTL_PIN=12345678

# softhsm2-util.exe faults in Wine on its way out, after its work is done:
# the token it leaves is what counts.
wine ./softhsm2-util.exe --module "$OBKEY_PKCS11_MODULE" --init-token --free --label obkey \
  --so-pin "$OBKEY_ADMIN_PIN" --pin 12345678 >softhsm2-util.log 2>&1 || true
obkey_check "softhsm2-util.exe made a token" bash -c "ls tokens | grep -q ."
obkey_check "config init" wine ./obkeyctl.exe config init --device 0
obkey_check "format" wine ./obkeyctl.exe format --yes
obkey_check "genkey" wine ./obkeyctl.exe genkey WINE_SIG --type sig --pin-env OBKEYCTL_PIN
printf 'signed under Wine through p11token and SoftHSMv2\n' >message.txt
obkey_check "sign" bash -c "wine ./obkeyctl.exe sign - --pin-env OBKEYCTL_PIN <message.txt | cat >message.sig"
obkey_check "a 128-byte signature" test "$(wc -c <message.sig)" = 128
obkey_check "export-pubkey" bash -c "wine ./obkeyctl.exe export-pubkey 'WINE_SIG\\03' >signer.pem"
obkey_check "openssl checks the signature" \
  openssl dgst -sha256 -verify signer.pem -signature message.sig message.txt
obkey_check "status names the container" \
  bash -c "wine ./obkeyctl.exe status | grep -q 'signature container (slot 0): WINE_SIG'"
obkey_unset_device

obkey_summary "wine p11token ($arch)"

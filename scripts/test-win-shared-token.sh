#!/usr/bin/env bash
# test-win-shared-token.sh BUILD_WIN BUILD_WIN64: a 32-bit and a 64-bit
# program on one Windows machine share the software token. In the 64-bit
# Wine prefix of the x86_64 tree (which runs 32-bit programs too), the i686
# obkeyctl.exe and the x86_64 one, each beside its own obkey.dll and token
# libraries, take turns on one token store: what one writes (format, key
# pair, labelled file, PIN) the other reads and uses, and openssl checks the
# signature the 64-bit one made with the key the 32-bit one generated. Each
# reads the device from its own registry view, so both views name it.
set -euo pipefail
win32_dir=$(cd "${1:-build-win}" && pwd)
win64_dir=$(cd "${2:-build-win64}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export WINEPREFIX="$win64_dir/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" OBKEY_NO_MESSAGE_BOX=1
export XCSP_TOKEN_DIR='c:\obkey-shared-tokens' XCSP_TOKEN_SCRYPT_LOG2N=10
unset DISPLAY OBKEY_SHA1_ENGINE
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver --wait || true
fi
rm -rf "$WINEPREFIX/drive_c/obkey-shared-tokens"
for view in /reg:32 /reg:64; do
  wine reg add 'HKLM\SOFTWARE\orbisoft\Implement Type' /v USBKEY /t REG_SZ /d XCSP_KEY_7 /f \
    "$view" >/dev/null
done

for tree in "$win32_dir" "$win64_dir"; do
  . "$tree/windows-build.env"
  mkdir "$work/$OBKEY_WIN_PLATFORM"
  cp "$tree/lib/obkey.dll" "$tree/bin/obkeyctl.exe" "$tree/softtoken/xcsp_eclib.dll" \
    "$tree/softtoken/KeyOperation.dll" "$tree/enrollsim/VeltaNxoEnrollApi.dll" \
    "$work/$OBKEY_WIN_PLATFORM/"
done
for platform in win32 win64; do
  format=pei-x86-64
  [ "$platform" = win32 ] && format=pei-i386
  if ! x86_64-w64-mingw32-objdump -f "$work/$platform/obkey.dll" | grep -q "file format $format\$"; then
    echo "test-win-shared-token: $platform/obkey.dll is not $format" >&2
    exit 1
  fi
done

cd "$work"
passed=0
failed=0
# step <platform> <what> <obkeyctl arguments...>
step() {
  local platform=$1 what=$2
  shift 2
  if wine "./$platform/obkeyctl.exe" "$@" >"$work/out.txt" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED ($platform): $what"
    cat "$work/out.txt"
  fi
}

printf 'signed by one architecture, key made by the other\n' >message.txt
printf 'notes kept by the 32-bit program\n' >notes.txt
step win32 "format" format --yes
step win32 "signature pair" genkey SHARED_SIG --type sig --pin 12345678
step win32 "labelled file written" file put NOTES notes.txt --pin 12345678
step win64 "sign with the 32-bit program's key" sign message.txt --digest sha1 --out message.sig \
  --pin 12345678
step win64 "public key" export-pubkey 'SHARED_SIG\03' --out signature.pem
step win64 "labelled file read" file get NOTES --out notes.back
step win32 "verify the 64-bit program's signature" verify message.txt message.sig --digest sha1
step win32 "PIN changed" change-pin --pin 12345678 --new-pin 87654321
step win64 "changed PIN accepted" login --pin 87654321
if openssl dgst -sha1 -verify signature.pem -signature message.sig message.txt >/dev/null 2>&1; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: openssl does not verify the signature"
fi
if cmp -s notes.txt notes.back; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: the labelled file read back differs"
fi
wineserver --wait || true
echo "shared token (win32 and win64): $passed passed, $failed failed"
[ "$failed" -eq 0 ]

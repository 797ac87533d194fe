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
. "$(dirname "$0")/lib.sh"
win32_dir=$(cd "${1:-build-win}" && pwd)
win64_dir=$(cd "${2:-build-win64}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unset OBKEY_SHA1_ENGINE
obkey_wine_env "$win64_dir/wineprefix" win64
export XCSP_TOKEN_DIR='c:\obkey-shared-tokens' XCSP_TOKEN_SCRYPT_LOG2N=10
rm -rf "$WINEPREFIX/drive_c/obkey-shared-tokens"
obkey_set_device 7 /reg:32
obkey_set_device 7 /reg:64

for tree in "$win32_dir" "$win64_dir"; do
  obkey_read_build_env "$tree"
  obkey_stage_client "$work/$OBKEY_WIN_PLATFORM" "$tree"
  if ! obkey_is_pe "$work/$OBKEY_WIN_PLATFORM/obkey.dll" "$OBKEY_WIN_PLATFORM"; then
    echo "test-win-shared-token: $tree/lib/obkey.dll is not $(obkey_pe_format "$OBKEY_WIN_PLATFORM")" >&2
    exit 1
  fi
done

cd "$work"
# step <platform> <what> <obkeyctl arguments...>
step() {
  local platform=$1 what=$2
  shift 2
  obkey_check "($platform) $what" wine "./$platform/obkeyctl.exe" "$@"
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
obkey_check "openssl verifies the signature" \
  openssl dgst -sha1 -verify signature.pem -signature message.sig message.txt
obkey_check "the labelled file read back is the same" cmp notes.txt notes.back
wineserver --wait || true
obkey_summary "shared token (win32 and win64)"

#!/usr/bin/env bash
# wine-obkeyctl-smoke.sh BUILD_WIN: obkeyctl.exe under Wine over the software
# token, the way a Windows user runs it: the device comes from the registry
# (written by `config init`), PINs from the environment and standard input,
# the signature through a pipe and checked with the openssl command. It runs
# in the Wine prefix of the build tree.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:-build-win}" && pwd)
obkey_read_build_env "$build_dir"
obkey_wine_env "$build_dir/wineprefix" "$OBKEY_WINEARCH"
folder="$build_dir/wine-run/obkeyctl"
obkey_stage_client "$folder" "$build_dir" || exit 1
cd "$folder" || exit 1

export XCSP_TOKEN_DIR='c:\obkey-smoke-tokens'
export XCSP_TOKEN_LOCK_TIMEOUT_MS=300
rm -rf "$WINEPREFIX/drive_c/obkey-smoke-tokens"
failures=0

ctl() {
  wine ./obkeyctl.exe "$@"
}
# expect <exit status> <text in standard error, or ""> <command ...>
expect() {
  local want=$1 text=$2
  shift 2
  ctl "$@" >out.txt 2>err.txt </dev/null
  local got=$?
  if [ "$got" != "$want" ] || { [ -n "$text" ] && ! grep -qF -- "$text" err.txt; }; then
    # shellcheck disable=SC2016 # the quotes are text, $text expands
    echo "wine obkeyctl smoke: FAILED: obkeyctl $* (exit $got, wanted $want${text:+ and '$text'})"
    cat err.txt
    failures=$((failures + 1))
  fi
}
check() {
  if ! "$@"; then
    echo "wine obkeyctl smoke: FAILED: $*"
    failures=$((failures + 1))
  fi
}

obkey_unset_device
expect 3 "registry value USBKEY" status
expect 0 "" config init --device 6
check bash -c "wine reg query '$OBKEY_CONFIG_KEY' /v USBKEY ${OBKEY_REG_VIEW[*]} | grep -q XCSP_KEY_6"
expect 0 "" config show
check grep -q "device        6  (the configuration)" out.txt
# shellcheck disable=SC2016 # obkeyctl names the variable
expect 3 'obkey-smoke-tokens ($XCSP_TOKEN_DIR) does not exist' status
expect 2 "off a terminal it needs --yes" format
expect 2 "unknown option --bogus" status --bogus
expect 2 "--type foo: not one of sig, enc" genkey WINE_SIG --type foo
expect 0 "" format --yes
check test -f "$WINEPREFIX/drive_c/obkey-smoke-tokens/token-6.db"

export OBKEYCTL_PIN=12345678
expect 0 "" genkey WINE_SIG --type sig --pin-env OBKEYCTL_PIN
check bash -c "printf '12345678\n' | wine ./obkeyctl.exe login --pin-stdin 2>/dev/null"
printf '00000000\n' > wrong.pin
expect 4 "XCST_PIN_INCORRECT" login --pin-file wrong.pin

printf 'a message signed under Wine\n' > message.txt
check bash -c "wine ./obkeyctl.exe sign - --pin-env OBKEYCTL_PIN < message.txt | cat > message.sig"
check test "$(wc -c < message.sig)" = 128
check bash -c "wine ./obkeyctl.exe export-pubkey 'WINE_SIG\\03' > signer.pem"
check bash -c "openssl dgst -sha256 -verify signer.pem -signature message.sig message.txt >/dev/null"
check bash -c "wine ./obkeyctl.exe export-pubkey 'WINE_SIG\\03' --outform der | \
  openssl pkey -pubin -inform DER -outform PEM | cmp - signer.pem"
check bash -c "wine ./obkeyctl.exe status 2>/dev/null | grep -q 'signature container (slot 0): WINE_SIG'"
expect 0 "" verify message.txt message.sig
# The store copied out and put back through the token's own commit; a
# damaged copy is refused and changes nothing.
expect 0 "" backup --out token.bak
head -c 200 token.bak > cut.bak
expect 1 "XCST_STORE_CORRUPT" restore cut.bak --yes
expect 0 "" format --yes
expect 0 "" restore token.bak --yes
expect 0 "" verify message.txt message.sig

obkey_unset_device
wineserver --wait || true
if [ "$failures" -ne 0 ]; then
  echo "wine obkeyctl smoke: $failures failure(s)"
  exit 1
fi
echo "wine obkeyctl smoke: passed"

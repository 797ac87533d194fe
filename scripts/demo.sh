#!/usr/bin/env bash
# make demo: obkey end to end on the software token, step by step. Everything
# lives in a private folder under the build tree: the configuration that
# stands in for the registry, the token store and the diagnostic log.
set -euo pipefail
build_dir=$(cd "${1:-build}" && pwd)
ctl="$build_dir/bin/obkeyctl"
if [ ! -x "$ctl" ] || [ ! -e "$build_dir/softtoken/libxcsp_eclib.so" ]; then
  echo "obkey demo: not yet — obkeyctl or the software token is missing from $build_dir."
  exit 1
fi

demo="$build_dir/demo"
rm -rf "$demo"
mkdir -p "$demo/tokens"
cat > "$demo/registry.reg" <<'REG'
[HKEY_LOCAL_MACHINE\SOFTWARE\orbisoft\Implement Type]
"USBKEY"="XCSP_KEY_0"
REG
export OBKEY_REGISTRY="$demo/registry.reg"
export XCSP_TOKEN_DIR="$demo/tokens"
export OBKEY_LOG="$demo/xml816.log"
cd "$demo"

step() {
  echo
  echo "== $*"
}
run() {
  echo "\$ obkeyctl $*"
  "$ctl" "$@"
}

pin=24681357
container=DEMO_SIG

step "Format the software token of device 0 (the PIN becomes 12345678)"
run format
step "Log in with the formatted token's PIN"
run login 12345678
step "A wrong PIN is refused and counts down the retry counter"
run login 00000000 || true
step "Change the PIN"
run change-pin 12345678 "$pin"
run login "$pin"
step "The token's containers"
run status

step "Form the key names of the signature container"
run key-names "$container"
step "Generate the signature key pair on the token"
run genkey "$container" --type sig --pin "$pin"
step "Sign the SHA-1 DigestInfo of a message on the token"
echo "obkey demo message $(date -u +%Y-%m-%dT%H:%M:%SZ)" > message.txt
run sign message.txt --digest sha1 --out message.sig --pin "$pin"
step "Export the signature public key as a CryptoAPI blob and as PEM"
run export-pubkey "$container\\03" --out signature.pubblob --pem signature.pub.pem
step "Check the signature with the openssl command"
echo "\$ openssl dgst -sha1 -verify signature.pub.pem -signature message.sig message.txt"
openssl dgst -sha1 -verify signature.pub.pem -signature message.sig message.txt
run verify message.txt message.sig --digest sha1
run status

step "Diagnostic log ($OBKEY_LOG), last lines"
tail -n 5 "$OBKEY_LOG" | tr -d '\r'
echo
echo "obkey demo: done. Files are in $demo"

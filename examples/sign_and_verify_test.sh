#!/usr/bin/env bash
# sign_and_verify_test.sh EXAMPLE OBKEYCTL: the worked example run as its
# comment says, on a token of its own: a signature key pair made with
# obkeyctl, the example's signature checked by openssl.
set -euo pipefail
example=$1
obkeyctl=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export OBKEY_REGISTRY="$work/registry.reg" XCSP_TOKEN_DIR="$work/tokens" OBKEY_LOG="$work/xml816.log"
mkdir -m 700 tokens
"$obkeyctl" --quiet config init --device 0 --file "$OBKEY_REGISTRY"
"$obkeyctl" --quiet format --yes
printf '12345678\n' >pin.txt
"$obkeyctl" --quiet genkey EXAMPLE_SIG --type sig --pin-file pin.txt >/dev/null
printf 'a message signed by the worked example\n' >message.txt
"$example" EXAMPLE_SIG message.txt out <pin.txt
openssl rsa -pubin -inform MSBLOB -in out.pub.blob -out signer.pem 2>/dev/null
openssl dgst -sha256 -verify signer.pem -signature out.sig message.txt

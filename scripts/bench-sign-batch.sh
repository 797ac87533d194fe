#!/usr/bin/env bash
# bench-sign-batch.sh [BUILD_DIR] [COUNT]: signing many files at one login.
# Times `obkeyctl sign` of COUNT files (default 100) in one call, over the
# software token at its real PIN cost, beside COUNT runs of `pkcs11-tool
# --sign` over a fresh SoftHSMv2 token, and prints the ratio with its goal
# (at most 2). Every signature is checked with openssl. Like the other
# benchmarks it is never a timed test: the exit status fails only when a
# command fails.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build=$(realpath -m "${1:-$OBKEY_ROOT/build-bench}")
count=${2:-100}
obkeyctl=$build/bin/obkeyctl
if [ ! -x "$obkeyctl" ]; then
  cmake -S "$OBKEY_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOBKEY_BUILD_BENCH=ON \
    -DOBKEY_BUILD_TESTS=OFF >&2
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target obkeyctl >&2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

now_ms() {
  echo $(($(date +%s%N) / 1000000))
}

# The files: a kilobyte each, as a batch of documents might be.
mkdir files
files=()
for i in $(seq 1 "$count"); do
  head -c 1024 /dev/urandom >"files/doc$i"
  files+=("files/doc$i")
done
printf '12345678\n' >pin

# The software token, with the PIN derivation a user's token has (no test
# cost from the environment).
unset XCSP_TOKEN_SCRYPT_LOG2N
export OBKEY_REGISTRY="$work/registry.reg" XCSP_TOKEN_DIR="$work/tokens" OBKEY_LOG="$work/xml816.log"
mkdir -m 700 tokens
"$obkeyctl" --quiet config init --device 0 --file "$OBKEY_REGISTRY"
"$obkeyctl" --quiet format --yes
"$obkeyctl" --quiet genkey BENCH_SIG --type sig --pin-file pin >/dev/null
"$obkeyctl" --quiet export-pubkey 'BENCH_SIG\03' --out obkey.pem
start=$(now_ms)
"$obkeyctl" --quiet sign "${files[@]}" --pin-file pin
obkey_ms=$(($(now_ms) - start))

# SoftHSMv2 through pkcs11-tool, one process per file as a script runs it.
module=$(obkey_softhsm_module)
obkey_softhsm_token "$work" >/dev/null
pkcs11-tool --module "$module" --login --pin 12345678 --keypairgen --key-type rsa:1024 \
  --id 01 --label bench >/dev/null 2>&1
pkcs11-tool --module "$module" --read-object --type pubkey --id 01 -o softhsm.der >/dev/null 2>&1
openssl pkey -pubin -inform DER -in softhsm.der -out softhsm.pem
start=$(now_ms)
for file in "${files[@]}"; do
  pkcs11-tool --module "$module" --login --pin 12345678 --sign --id 01 -m SHA256-RSA-PKCS \
    --input-file "$file" --output-file "$file.p11sig" >/dev/null 2>&1
done
pkcs11_ms=$(($(now_ms) - start))

for file in "${files[@]}"; do
  openssl dgst -sha256 -verify obkey.pem -signature "$file.sig" "$file" >/dev/null
  openssl dgst -sha256 -verify softhsm.pem -signature "$file.p11sig" "$file" >/dev/null
done

ratio=$(awk -v a="$obkey_ms" -v b="$pkcs11_ms" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
printf 'sign %s files: obkeyctl sign (one call, one login) %d ms; pkcs11-tool --sign over SoftHSMv2 (%s runs) %d ms\n' \
  "$count" "$obkey_ms" "$count" "$pkcs11_ms"
printf 'batch sign ratio %s (obkeyctl / pkcs11-tool; goal: at most 2.00); every signature verified by openssl\n' \
  "$ratio"

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

# scripts/demo-pkcs11.sh runs the same steps over p11token: it names the
# token library and the demo folder, and prepares the PKCS #11 token.
token_library=${OBKEY_DEMO_TOKEN_LIBRARY:-}
demo=${OBKEY_DEMO_DIR:-"$build_dir/demo"}
if [ -z "${OBKEY_DEMO_DIR:-}" ]; then rm -rf "$demo"; fi
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
  if [ -n "$token_library" ]; then
    "$ctl" --token-library "$token_library" "$@"
  else
    "$ctl" "$@"
  fi
}

pin=24681357
container=DEMO_SIG
# PINs go through files only this user can read, never on the command line.
umask 077
printf '12345678\n' > formatted.pin
printf '%s\n' "$pin" > user.pin
umask 022

step "Format the token of device 0 (the PIN becomes 12345678)"
run format --yes
step "Log in with the formatted token's PIN"
run login --pin-file formatted.pin
step "A wrong PIN is refused (and counts down the retry counter, where the token keeps one)"
printf '00000000\n' | run login --pin-stdin || true
step "Change the PIN (current PIN, then the new one, on standard input)"
cat formatted.pin user.pin | run change-pin --pin-stdin --new-pin-stdin
run login --pin-file user.pin
step "The token's containers"
run status

step "Form the key names of the signature container"
run key-names "$container"
step "Generate the signature key pair on the token"
run genkey "$container" --type sig --pin-file user.pin
step "Sign the SHA-1 DigestInfo of a message on the token"
echo "obkey demo message $(date -u +%Y-%m-%dT%H:%M:%SZ)" > message.txt
run sign message.txt --digest sha1 --out message.sig --pin-file user.pin
step "Export the signature public key as a CryptoAPI blob and as PEM"
run export-pubkey "$container\\03" --outform blob --out signature.pubblob
run export-pubkey "$container\\03" --out signature.pub.pem
step "Check the signature with the openssl command"
echo "\$ openssl dgst -sha1 -verify signature.pub.pem -signature message.sig message.txt"
openssl dgst -sha1 -verify signature.pub.pem -signature message.sig message.txt
run verify message.txt message.sig --digest sha1
run status

step "A certificate for the token's signature key, issued with the openssl command"
openssl genrsa -out issuer.key 2048 2>/dev/null
echo "\$ openssl x509 -new -subj '/CN=obkey demo signer' -key issuer.key -force_pubkey signature.pub.pem -out signature.crt"
openssl x509 -new -subj '/CN=obkey demo signer' -key issuer.key -force_pubkey signature.pub.pem \
  -days 30 -out signature.crt
run cert import signature.crt --type sig --pin-file user.pin
run cert export --type sig --outform der --out signature.back.der
openssl x509 -in signature.crt -outform DER -out signature.der
cmp signature.der signature.back.der && echo "certificate read back unchanged"
step "The same certificate through the reserved label, store selector 1"
run file get LAB_USERCERT_SIG --store 1 --out signature.label.der
cmp signature.der signature.label.der && echo "reserved label gives the certificate"

step "Labelled files on the token"
printf 'notes kept on the token\n' > notes.txt
run file put NOTES notes.txt --pin-file user.pin
run file put README.TXT message.txt --pin-file user.pin
run file ls
run file get NOTES --out notes.back.txt
cmp notes.txt notes.back.txt && echo "labelled file read back unchanged"
run file rm README.TXT --pin-file user.pin
run file ls

step "A triple-DES session key from the token's random numbers encrypts a file"
run genkey DEMO_ENC --type enc --pin-file user.pin
run symkey gen --alg 3des --out session.key
head -c 64 /dev/urandom > secret.bin
run symkey encrypt session.key secret.bin --alg 3des --mode cbc --out secret.enc
step "Wrap the key under the token's exchange key and unwrap it on the token"
run symkey export session.key --alg 3des --wrap-token 'DEMO_ENC\01' --out session.token.blob
tail -c 128 session.token.blob > session.token.wrapped
run decrypt session.token.wrapped --key enc --pin-file user.pin --out session.key.from-token
cmp session.key session.key.from-token && echo "the token gives back the same key"
step "Wrap the key under an OpenSSL public key and unwrap it with the openssl command"
openssl genrsa -out peer.key 2048 2>/dev/null
openssl pkey -in peer.key -pubout -out peer.pub.pem
run symkey export session.key --alg 3des --wrap-pub peer.pub.pem --out session.peer.blob
tail -c +13 session.peer.blob > session.peer.wrapped
echo "\$ openssl pkeyutl -decrypt -inkey peer.key -pkeyopt rsa_padding_mode:pkcs1 -in session.peer.wrapped"
openssl pkeyutl -decrypt -inkey peer.key -pkeyopt rsa_padding_mode:pkcs1 \
  -in session.peer.wrapped -out session.key.from-peer
cmp session.key session.key.from-peer && echo "OpenSSL gives back the same key"
step "Both unwrapped keys decrypt the file"
run symkey decrypt session.key.from-token secret.enc --alg 3des --mode cbc --out secret.from-token
key_hex=$(od -An -tx1 -v session.key.from-peer | tr -d ' \n')
echo "\$ openssl enc -d -des-ede3-cbc -K <key> -iv 0000000000000000 -nopad -in secret.enc"
openssl enc -d -des-ede3-cbc -K "$key_hex" -iv 0000000000000000 -nopad -in secret.enc \
  -out secret.from-peer
cmp secret.bin secret.from-token && cmp secret.bin secret.from-peer && echo "same plaintext both ways"
step "Digests in software"
run digest message.txt --alg sha1 --hex
openssl dgst -sha1 -r message.txt
run digest message.txt --alg md5 --hex
openssl dgst -md5 -r message.txt

step "A certificate request for the token's signature key"
run enroll request --subject "/O=obkey demo/CN=Demo User" --out request.pem --pin-file user.pin
echo "\$ openssl req -in request.pem -verify -noout -subject"
openssl req -in request.pem -verify -noout -subject
step "A throwaway authority made with the openssl command issues both certificates"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 30 \
  -subj "/O=obkey demo/CN=Demo CA" 2>/dev/null
openssl x509 -req -in request.pem -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 \
  -out user-sig.crt 2>/dev/null
openssl crl2pkcs7 -nocrl -certfile user-sig.crt -certfile ca.crt -out user-sig.p7b
run export-pubkey 'DEMO_ENC\01' --out exchange.pub.pem
openssl x509 -new -subj "/O=obkey demo/CN=Demo User (encryption)" -CA ca.crt -CAkey ca.key \
  -force_pubkey exchange.pub.pem -days 30 -out user-enc.crt 2>/dev/null
enc_b64=$(openssl x509 -in user-enc.crt -outform DER | base64 -w0)
cat > answer.xml <<XML
<?xml version="1.0" encoding="UTF-8"?>
<root>
  <certKmcReq1>$(printf 'request-1' | base64 -w0)</certKmcReq1>
  <certKmcReq2>$(printf 'request-2' | base64 -w0)</certKmcReq2>
  <certKmcReq3>$(printf 'request-3' | base64 -w0)</certKmcReq3>
  <certKmcRep1>$enc_b64</certKmcRep1>
  <certKmcRep2>$(printf 'response-2' | base64 -w0)</certKmcRep2>
  <certKmcRep3>$(printf 'response-3' | base64 -w0)</certKmcRep3>
</root>
XML
echo "answer.xml: the encryption certificate in certKmcRep1; user-sig.p7b: the signature certificate"
step "Install the answer, then read both certificates back"
run enroll install answer.xml --pkcs7 user-sig.p7b --pin-file user.pin
run cert export --type sig --outform der --out user-sig.back.der
run cert export --type enc --outform der --out user-enc.back.der
openssl x509 -in user-sig.crt -outform DER | cmp - user-sig.back.der && echo "signature certificate installed"
openssl x509 -in user-enc.crt -outform DER | cmp - user-enc.back.der && echo "encryption certificate installed"
openssl x509 -in user-sig.back.der -inform DER -noout -subject -issuer

step "Diagnostic log ($OBKEY_LOG), last lines"
tail -n 5 "$OBKEY_LOG" | tr -d '\r'
echo
echo "obkey demo: done. Files are in $demo"

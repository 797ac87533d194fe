#!/usr/bin/env bash
# make demo-pkcs11: the demo of scripts/demo.sh over p11token and a SoftHSMv2
# token. The token store, its configuration and everything else live in a
# private folder under the build tree.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:-build}" && pwd)
here=$OBKEY_ROOT
token_library="$build_dir/p11token/libxcsp_eclib.so"
module=$(obkey_softhsm_module 2>/dev/null) || module=""
if [ ! -e "$token_library" ] || [ -z "$module" ] || ! command -v softhsm2-util >/dev/null; then
  echo "obkey demo-pkcs11: p11token or SoftHSMv2 is missing (make deps installs softhsm2)."
  exit 1
fi

demo="$build_dir/demo-pkcs11"
rm -rf "$demo"
export OBKEY_PKCS11_MODULE="$module"
export OBKEY_PKCS11_LOCK_DIR="$demo"

echo "== A SoftHSMv2 token for device 0, its SO PIN the admin PIN obkey formats with"
echo "\$ softhsm2-util --init-token --free --label obkey --so-pin $OBKEY_ADMIN_PIN --pin 12345678"
obkey_softhsm_token "$demo"
echo "PKCS #11 module: $OBKEY_PKCS11_MODULE; token library: $token_library"

OBKEY_DEMO_TOKEN_LIBRARY="$token_library" OBKEY_DEMO_DIR="$demo" bash "$here/scripts/demo.sh" "$build_dir"

if command -v pkcs11-tool >/dev/null; then
  echo
  echo "== What obkey left on the token, as pkcs11-tool lists it"
  echo "\$ pkcs11-tool --module $module --login --pin ... --list-objects"
  # The demo changed the user PIN; the last one it set is in demo.sh.
  pin=$(sed -n 's/^pin=//p' "$here/scripts/demo.sh")
  pkcs11-tool --module "$module" --login --pin "$pin" --list-objects | grep -Ei 'object|label'
fi

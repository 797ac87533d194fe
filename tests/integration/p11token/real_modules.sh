#!/usr/bin/env bash
# real_modules.sh <kind> <p11token_flow> <build dir>: p11token over a real
# module, in a private folder, everything it starts stopped on exit. Each
# kind then runs a user's obkeyctl steps against its row of the table of
# modules in p11token/README.md (module_table.sh).
#   softhsm_two_paths  SoftHSMv2: the flow, then two writers naming the
#                      module by two paths (a symbolic link), one machine,
#                      then signers while another process replaces their key
#   tpm2               tpm2-pkcs11 over swtpm and tpm2-abrmd: the flow, the
#                      steps the module cannot do failing as documented
#   p11kit             SoftHSMv2 behind `p11-kit server`: the flow, then two
#                      writers as two clients with no lock in common, as two
#                      machines sharing one token
#   shim_<profile>     a test shim over SoftHSMv2 that acts out another
#                      module (tests/unit/p11token/p11_shim.h): the table only
# Writers count their increments of one user file: every increment reported
# done must be in the file at the end (none reported done and lost). Through
# p11-kit's client a writer may also fail otherwise now and then (seen:
# CKR_GENERAL_ERROR, no token found): a failure, never a write told done.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/../../../scripts/lib.sh"
# shellcheck source=tests/integration/p11token/module_table.sh
. "$(dirname "$0")/module_table.sh"
kind=$1
flow=$2
build=$3
so_pin=$OBKEY_ADMIN_PIN
rounds=${OBKEY_WRITER_ROUNDS:-25}
work=$(mktemp -d "${TMPDIR:-/tmp}/obkey-real-module-XXXXXX")
started=()
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

softhsm=""
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so; do
  if [ -f "$candidate" ]; then softhsm=$candidate; break; fi
done
pkcs11_dir=$(dirname "$(find /usr/lib -name p11-kit-client.so -path '*pkcs11*' | head -n1)")

softhsm_store() {
  mkdir -p "$work/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
    "$work/tokens" >"$work/softhsm2.conf"
  export SOFTHSM2_CONF="$work/softhsm2.conf"
  softhsm2-util --init-token --free --label shared --so-pin "$so_pin" --pin 12345678 >/dev/null
}

# writers <module A> <lock dir A> <module B> <lock dir B> [clean]
# With "clean", neither may fail for another reason than a write overtaken
# or a lock kept busy.
writers() {
  OBKEY_PKCS11_MODULE=$1 OBKEY_PKCS11_LOCK_DIR=$2 "$flow" setup 7
  OBKEY_PKCS11_MODULE=$1 OBKEY_PKCS11_LOCK_DIR=$2 "$flow" writer 7 "$rounds" >"$work/a.out" &
  local a=$!
  OBKEY_PKCS11_MODULE=$3 OBKEY_PKCS11_LOCK_DIR=$4 "$flow" writer 7 "$rounds" >"$work/b.out" &
  local b=$!
  wait "$a" "$b"
  local value lost highest
  value=$(OBKEY_PKCS11_MODULE=$1 OBKEY_PKCS11_LOCK_DIR=$2 "$flow" read 7 | awk '{print $2}')
  echo "writer A: $(head -n1 "$work/a.out"); writer B: $(head -n1 "$work/b.out"); file: $value"
  # Each write stores the value read plus one: two writes told done with
  # the same value mean one overwrote the other unseen.
  awk 'FNR == 2' "$work/a.out" "$work/b.out" | tr ' ' '\n' | grep -v '^wrote$' | grep . | sort -n >"$work/done"
  lost=$(uniq -d "$work/done" | wc -l)
  highest=$(tail -n1 "$work/done")
  echo "writes told done: $(wc -l <"$work/done"); reported done and lost: $lost"
  [ -n "$highest" ] || { echo "no write was done at all"; return 1; }
  if [ "${5:-}" = clean ] && grep -qv ' other 0$' <(head -qn1 "$work/a.out" "$work/b.out"); then
    echo "a writer failed otherwise than overtaken or busy"
    return 1
  fi
  [ "$lost" -eq 0 ] && [ "$value" -ge "$highest" ]
}

# signers_beside_a_writer <module> <lock dir>: three processes sign, each
# at least `rounds` times and until a fourth has replaced their key five
# times. Every signature must succeed and be by one of the keys the token
# had, never another and never torn, and every replacement must succeed.
# (How many of the keys signed is shown: SoftHSMv2 may go on serving a
# long-running process the key it had, from its memory.)
signers_beside_a_writer() {
  export OBKEY_PKCS11_MODULE=$1 OBKEY_PKCS11_LOCK_DIR=$2
  local signers=() pid failed=0
  "$flow" keys >"$work/keys.out"
  for n in 1 2 3; do
    "$flow" signer "$rounds" "$work/rekeyed" >"$work/signer$n.out" &
    signers+=($!)
  done
  # The writer starts once the signers have logged in (at most 20 s).
  for _ in $(seq 200); do
    [ "$(cat "$work/signer"*.out | grep -c '^ready$')" -lt 3 ] || break
    sleep 0.1
  done
  "$flow" rekey 5 "$work/rekeyed" >"$work/rekey.out" || { echo "the writer failed"; failed=1; }
  for pid in "${signers[@]}"; do wait "$pid" || failed=1; done
  tail -qn1 "$work/signer"*.out
  if grep -q ' failed [^0]' <(tail -qn1 "$work/signer"*.out); then failed=1; fi
  [ "$(grep -c '^key ' "$work/rekey.out")" -eq 5 ] || failed=1
  "$flow" check "$work/keys.out" "$work/rekey.out" "$work/signer"*.out || failed=1
  unset OBKEY_PKCS11_MODULE OBKEY_PKCS11_LOCK_DIR
  return "$failed"
}

case $kind in
  softhsm_two_paths)
    softhsm_store
    mkdir -p "$work/locks"
    ln -s "$softhsm" "$work/module-by-another-path.so"
    OBKEY_PKCS11_MODULE=$softhsm OBKEY_PKCS11_LOCK_DIR=$work/locks "$flow" flow softhsm
    writers "$softhsm" "$work/locks" "$work/module-by-another-path.so" "$work/locks" clean
    signers_beside_a_writer "$softhsm" "$work/locks"
    OBKEY_PKCS11_MODULE=$softhsm OBKEY_PKCS11_LOCK_DIR=$work/locks check_module_table softhsm
    ;;
  tpm2)
    mkdir -p "$work/tpm" "$work/store"
    port=""
    for _ in 1 2 3 4 5; do
      candidate=$((20000 + (RANDOM % 20000) * 2))
      if swtpm socket --tpmstate dir="$work/tpm" --tpm2 --flags not-need-init,startup-clear \
        --server type=tcp,port=$candidate,bindaddr=127.0.0.1 \
        --ctrl type=tcp,port=$((candidate + 1)),bindaddr=127.0.0.1 \
        --pid file="$work/swtpm.pid" --daemon 2>"$work/swtpm.err"; then
        port=$candidate
        break
      fi
    done
    [ -n "$port" ] || { cat "$work/swtpm.err"; exit 1; }
    started+=("$(cat "$work/swtpm.pid")")
    # A TPM holds three transient objects; the access broker (on a D-Bus
    # session bus of the test's own) swaps them as a system's would.
    dbus-daemon --session --fork --print-address=1 --print-pid=1 >"$work/dbus.out"
    started+=("$(sed -n 2p "$work/dbus.out")")
    export DBUS_SESSION_BUS_ADDRESS
    DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$work/dbus.out")
    tpm2-abrmd --session --allow-root --tcti="swtpm:host=127.0.0.1,port=$port" \
      >"$work/abrmd.log" 2>&1 &
    started+=($!)
    for _ in $(seq 50); do
      TPM2TOOLS_TCTI="tabrmd:bus_type=session" tpm2_getrandom 4 >/dev/null 2>&1 && break
      sleep 0.1
    done
    export TPM2_PKCS11_TCTI="tabrmd:bus_type=session"
    export TPM2_PKCS11_STORE="$work/store"
    export TPM2_PKCS11_LOG_LEVEL=0
    tpm2=$pkcs11_dir/libtpm2_pkcs11.so
    OBKEY_PKCS11_MODULE=$tpm2 OBKEY_PKCS11_LOCK_DIR=$work "$flow" flow tpm2
    # Loaded afresh, the module formats the token it could not in the flow.
    OBKEY_PKCS11_MODULE=$tpm2 OBKEY_PKCS11_LOCK_DIR=$work "$flow" setup 7
    OBKEY_PKCS11_MODULE=$tpm2 OBKEY_PKCS11_LOCK_DIR=$work check_module_table tpm2
    ;;
  p11kit)
    softhsm_store
    mkdir -p "$work/machine-a" "$work/machine-b"
    p11-kit server -f -n "$work/server.sock" --provider "$softhsm" "pkcs11:token=shared" \
      >"$work/server.out" 2>&1 &
    started+=($!)
    for _ in $(seq 50); do [ -S "$work/server.sock" ] && break; sleep 0.1; done
    export P11_KIT_SERVER_ADDRESS="unix:path=$work/server.sock"
    client=$pkcs11_dir/p11-kit-client.so
    OBKEY_PKCS11_MODULE=$client OBKEY_PKCS11_LOCK_DIR=$work/machine-a "$flow" flow p11kit
    writers "$client" "$work/machine-a" "$client" "$work/machine-b"
    OBKEY_PKCS11_MODULE=$client OBKEY_PKCS11_LOCK_DIR=$work/machine-a check_module_table p11kit
    ;;
  shim_*)
    # A token whose SO PIN is of 4 to 8 characters for the shim that takes
    # no other.
    [ "$kind" != shim_short_pins ] || so_pin=1234abcd
    softhsm_store
    mkdir -p "$work/locks"
    OBKEY_PKCS11_MODULE=$build/tests/p11shim/libobkey_$kind.so OBKEY_PKCS11_LOCK_DIR=$work/locks \
      check_module_table "$kind"
    ;;
  *)
    echo "unknown module kind: $kind" >&2
    exit 2
    ;;
esac

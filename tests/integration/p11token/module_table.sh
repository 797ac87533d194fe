#!/usr/bin/env bash
# module_table.sh: sourced by real_modules.sh. check_module_table KEY runs
# a user's obkeyctl steps over the module that $OBKEY_PKCS11_MODULE names
# and holds them to the row of p11token/README.md's table of modules whose
# first cell names (`KEY`): every step passes, but the ones the row lists as
# refused, which must fail with the answer it gives. Needs $work (a private
# folder), $build (the build tree) and $so_pin (the token's SO PIN).
# shellcheck shell=bash

indent() {
  local line
  while IFS= read -r line; do printf '    %s\n' "$line"; done
}

readme_table_row() {
  local key=$1
  grep -F "(\`$key\`)" "$OBKEY_ROOT/p11token/README.md" | grep '^|' | head -n1
}

# The steps, in order: id, obkeyctl's arguments, and which PIN they take
# (user: always; read: where obkey's objects are private; none).
module_table_steps() {
  cat <<'EOF'
format|format --yes|none
format-so-pin|format --yes --so-pin-file so.pin|none
login|login|user
create-container|create-container TABLE_SIG|read
genkey-sig|genkey TABLE_SIG --type sig --force|user
genkey-enc|genkey TABLE_ENC --type enc --force|user
import-key|import-key key.pem --type sig --force|user
sign|sign data --out data.sig|user
verify|verify data data.sig|read
encrypt|encrypt short --out short.enc|read
decrypt|decrypt short.enc --out short.dec|user
export-pubkey|export-pubkey TABLE_SIG\03 --out public.pem|read
cert-import|cert import cert.pem --type sig --force|user
cert-export|cert export --type sig --out cert.back.pem|read
file-put|file put NOTE data|user
file-ls|file ls|read
file-get|file get NOTE --out note|read
status|status|read
change-pin|change-pin --new-pin-file new.pin|user
EOF
}

check_module_table() {
  local key=$1 row pin_needed refused failed=0
  row=$(readme_table_row "$key")
  if [ -z "$row" ]; then
    echo "p11token/README.md has no row for (\`$key\`) in its table of modules"
    return 1
  fi
  pin_needed=$(awk -F'|' '{gsub(/ /, "", $3); print $3}' <<<"$row")
  refused=$(awk -F'|' '{print $4}' <<<"$row")
  local dir=${work:?}/table-$key
  mkdir -p "$dir"
  printf '12345678\n' >"$dir/pin"
  printf '87654321\n' >"$dir/new.pin"
  printf '%s\n' "${so_pin:?}" >"$dir/so.pin"
  printf 'a file for the token and a message to sign\n' >"$dir/data"
  printf 'sixteen bytes!!\n' >"$dir/short"
  openssl genrsa -out "$dir/key.pem" 1024 2>/dev/null
  openssl req -new -x509 -key "$dir/key.pem" -subj /CN=table -days 2 -out "$dir/cert.pem" 2>/dev/null
  printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n"USBKEY"="XCSP_KEY_0"\n' \
    >"$dir/registry.reg"
  local ctl=("${build:?}/bin/obkeyctl" --library "$build/lib/libobkey.so"
    --token-library "$build/p11token/libxcsp_eclib.so")
  local id args pin expected out status
  while IFS='|' read -r id args pin; do
    # The answer the row gives for this step ("" when it must pass),
    # without a closing remark in brackets.
    expected=$(tr ';' '\n' <<<"$refused" | grep -F "\`$id\`" |
      sed 's/^[^:]*: *//; s/ *$//; s/ *([^()]*)$//' || true)
    [ "$pin" = user ] || { [ "$pin" = read ] && [ "$pin_needed" = yes ]; } && args+=" --pin-file pin"
    # shellcheck disable=SC2086  # the step's arguments are words
    out=$(cd "$dir" && OBKEY_REGISTRY=$dir/registry.reg OBKEY_LOG=$dir/log \
      XCSP_TOKEN_DIR=$dir "${ctl[@]}" $args 2>&1) && status=0 || status=$?
    if [ -z "$expected" ] && [ "$status" -eq 0 ]; then
      echo "$key $id: ok"
    elif [ -n "$expected" ] && [ "$status" -ne 0 ] && grep -qF -- "$expected" <<<"$out"; then
      echo "$key $id: refused as documented ($expected)"
    else
      echo "$key $id: UNEXPECTED (exit $status; the table says: ${expected:-ok})"
      indent <<<"$out"
      failed=1
    fi
  done < <(module_table_steps)
  # Where obkey's objects are private, a reading step without the PIN says so.
  if [ "$pin_needed" = yes ]; then
    out=$(OBKEY_REGISTRY=$dir/registry.reg OBKEY_LOG=$dir/log "${ctl[@]}" status </dev/null 2>&1) &&
      status=0 || status=$?
    if [ "$status" -ne 2 ] || ! grep -qF "keeps obkey's objects private" <<<"$out"; then
      echo "$key status without the PIN: UNEXPECTED (exit $status)"
      indent <<<"$out"
      failed=1
    fi
  fi
  return "$failed"
}

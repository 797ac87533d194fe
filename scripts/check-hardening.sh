#!/usr/bin/env bash
# check-hardening.sh ELF_FILE...: each built library and program carries the
# protections of a distribution's build: a stack protector (it calls
# __stack_chk_fail), fortified string and memory calls, and a relocation
# table made read-only and bound at load (a GNU_RELRO segment and BIND_NOW).
# A file shows fortification by calling a __*_chk variant or, where every
# size was unknown at compile time, by the glibc wrappers its debug
# information says were inlined: the files need debug information.
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: check-hardening.sh ELF_FILE..." >&2
  exit 2
fi

status=0
for file in "$@"; do
  missing=()
  if [ ! -f "$file" ]; then
    missing=("the file itself")
  else
    imports=$(nm -D --undefined-only "$file" | awk '{print $NF}' | sed 's/@.*//')
    grep -qx '__stack_chk_fail' <<<"$imports" || missing+=("stack protector")
    # Whole outputs first: grep -q ending a pipe early would fail it.
    lines=$(readelf --debug-dump=line "$file" 2>/dev/null || true)
    if ! grep -qE '^__[a-z_0-9]+_chk$' <<<"$(grep -v -x '__stack_chk_fail' <<<"$imports")" &&
      ! grep -qE '\b(string_fortified|stdio2)\.h\b' <<<"$lines"; then
      missing+=("_FORTIFY_SOURCE")
    fi
    grep -qw GNU_RELRO <<<"$(readelf -lW "$file")" || missing+=("RELRO")
    grep -qE '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$(readelf -dW "$file")" ||
      missing+=("BIND_NOW")
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "check-hardening: $file lacks: ${missing[*]}" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "check-hardening: $# files carry a stack protector, fortified calls, RELRO and BIND_NOW"
exit $status

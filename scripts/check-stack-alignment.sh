#!/usr/bin/env bash
# check-stack-alignment.sh DLL...
#
# A Windows x86 caller promises only 4-byte stack alignment. This check
# disassembles 32-bit PE files and fails when a function uses a stack memory
# operand that must be 16-byte aligned (movaps/movdqa, legacy SSE packed
# arithmetic, the SHA instructions) on an %esp or %ebp address before it has
# realigned its stack with `and $0xfffffff0,%esp`. It needs no CPU support for
# the instructions, so it catches the fault on every machine.
set -euo pipefail

objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
if [ "$#" -eq 0 ]; then
  echo "usage: check-stack-alignment.sh FILE..." >&2
  exit 2
fi

status=0
for file in "$@"; do
  if ! listing=$("$objdump" -d --no-show-raw-insn "$file"); then
    echo "check-stack-alignment: cannot disassemble $file" >&2
    status=1
    continue
  fi
  if ! awk -v file="$file" '
    # Legacy SSE instructions whose memory operand may be unaligned: moves of
    # 128 bits that say so, scalar and partial loads, inserts and extracts.
    function unaligned_ok(op) {
      if (op ~ /^(movups|movupd|movdqu|lddqu|movq|movd|movss|movsd|movlps|movhps|movlpd|movhpd|movddup|movntq)$/) return 1
      if (op ~ /(ss|sd)$/ && op !~ /^(pabsd|psubsd|paddsd)$/) return 1
      if (op ~ /^(pinsr|pextr|extractps|insertps|pmovzx|pmovsx|cvtdq2pd|cvtps2pd|cvtpi2ps|cvtpi2pd|cvtsi2|cvttss2si|cvtss2si|cvttsd2si|cvtsd2si|ucomis|comis|movmsk)/) return 1
      return 0
    }
    function needs_alignment(op, operands) {
      if (operands !~ /%xmm/) return 0
      if (operands !~ /\((%esp|%ebp)/) return 0
      if (op ~ /^v/) return op ~ /^vmov(aps|apd|dqa|ntdq|ntps|ntpd)/
      if (op ~ /^(movaps|movapd|movdqa|movntdq|movntps|movntpd)$/) return 1
      if (op ~ /^sha/) return 1
      return !unaligned_ok(op)
    }
    /^[0-9a-f]+ <.*>:$/ {
      function_name = $2
      realigned = 0
      # MinGW links these tables into .text; they are data, and their bytes
      # may happen to read as any instruction.
      data = function_name ~ /^<\.(gcc_except_table|ctors|dtors)/
      next
    }
    /^ *[0-9a-f]+:\t/ {
      if (data) next
      line = $0
      sub(/^ *[0-9a-f]+:\t/, "", line)
      op = line
      sub(/[ \t].*$/, "", op)
      operands = line
      sub(/^[^ \t]*[ \t]*/, "", operands)
      if (op == "and" && operands ~ /^\$0xfffffff0,%esp/) realigned = 1
      if (!realigned && needs_alignment(op, operands)) {
        printf "%s: %s uses an aligned stack operand without realigning: %s\n", file, function_name, line
        bad = 1
      }
    }
    END { exit bad }
  ' <<<"$listing"; then
    status=1
  fi
done
if [ "$status" -eq 0 ]; then
  echo "check-stack-alignment: $# files, no function relies on a 16-byte aligned incoming stack"
fi
exit $status

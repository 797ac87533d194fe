#!/usr/bin/env bash
# test-dist.sh BUILD_WIN: the Windows zip is complete by itself. It is
# unpacked into an empty folder; a client that includes only the shipped
# header is linked against each shipped import library (MinGW's ld for
# libobkey.dll.a, lld-link for obkey.lib); then, in a fresh Wine prefix, the
# software token's DLLs go beside obkey.dll as README-windows.txt says, and
# the clients and obkeyctl.exe run from there.
set -euo pipefail
build_dir=$(cd "${1:-build-win}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
zip=$(ls "$build_dir"/obkey-*-win32.zip)
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

unzip -q "$zip" -d "$work"
root=$(ls -d "$work"/obkey-*-win32)

expected="README-windows.txt bin/obkey.dll bin/obkeyctl.exe include/obkey.h
include/obkey_version.h lib/libobkey.dll.a lib/obkey.def lib/obkey.lib
softtoken/KeyOperation.dll softtoken/README-enrollment.md softtoken/README.md
softtoken/VeltaNxoEnrollApi.dll softtoken/xcsp_eclib.dll"
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
if [ "$actual" != "$(echo $expected | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')" ]; then
  echo "test-dist: the zip holds: $actual" >&2
  exit 1
fi
for f in "$root"/bin/*.dll "$root"/bin/*.exe "$root"/softtoken/*.dll; do
  if i686-w64-mingw32-objdump -h "$f" | grep -q '\.debug_'; then
    echo "test-dist: $f carries debug sections" >&2
    exit 1
  fi
done

# The header, as C and C++, before and after the Windows headers.
for compiler in i686-w64-mingw32-gcc i686-w64-mingw32-g++; do
  for order in -DOBKEY_HEADER_FIRST -UOBKEY_HEADER_FIRST; do
    language=c
    [ "$compiler" = i686-w64-mingw32-g++ ] && language=c++
    "$compiler" -x "$language" -Wall -Wextra -Werror -fsyntax-only $order -I"$root/include" \
      "$here/tests/client/header_order.c"
  done
done

client_flags=(-Wall -Wextra -Werror -O2 -ffreestanding -fno-builtin -I"$root/include")
i686-w64-mingw32-gcc "${client_flags[@]}" -nostdlib "$here/tests/client/dist_client.c" \
  -L"$root/lib" -lobkey -lkernel32 -Wl,-e,_ClientMain -o "$work/client-mingw.exe"
i686-w64-mingw32-gcc "${client_flags[@]}" -c "$here/tests/client/dist_client.c" \
  -o "$work/dist_client.obj"
printf 'LIBRARY kernel32.dll\nEXPORTS\n  GetStdHandle@4\n  WriteFile@20\n  ExitProcess@4\n  lstrlenA@4\n' \
  >"$work/kernel32.def"
llvm-dlltool -m i386 -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
# gcc objects carry no safe-exception-handler table, which lld-link wants by default.
lld-link /nologo /subsystem:console /entry:ClientMain /nodefaultlib /safeseh:no \
  /out:"$work/client-msvc.exe" "$work/dist_client.obj" "$root/lib/obkey.lib" "$work/kernel32.lib"

export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY XCSP_TOKEN_DIR OBKEY_SHA1_ENGINE
wineboot --init >/dev/null 2>&1 || true
wine reg add 'HKLM\SOFTWARE\orbisoft\Implement Type' /v USBKEY /t REG_SZ /d XCSP_KEY_0 /f >/dev/null

cp "$root"/softtoken/*.dll "$work/client-mingw.exe" "$work/client-msvc.exe" "$root/bin/"
status=0
cd "$root/bin"
for client in client-mingw.exe client-msvc.exe; do
  wine "./$client" || status=1
done
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@" >"$work/out.txt" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    cat "$work/out.txt"
  fi
}
check "obkeyctl.exe --help" wine ./obkeyctl.exe --help
check "obkeyctl.exe status on the formatted token" wine ./obkeyctl.exe status
wineserver --wait || true
echo "dist: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && exit $status
exit 1

#!/usr/bin/env bash
# test-dist.sh BUILD_WIN: the Windows zip of a build tree (win32 from an
# i686 tree, win64 from an x86_64 one) is complete by itself. It is unpacked
# into an empty folder; every program in it is of the tree's architecture
# and obkey.dll exports exactly the names of the export list; a client that
# includes only the shipped header is linked against each shipped import
# library (MinGW's ld for libobkey.dll.a, lld-link for obkey.lib); then, in a
# fresh Wine prefix of the same architecture, the software token's DLLs go
# beside obkey.dll as README-windows.txt says, and the clients and
# obkeyctl.exe run from there.
set -euo pipefail
build_dir=$(cd "${1:-build-win}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
OBKEY_WIN_PLATFORM=win32
OBKEY_MINGW_PREFIX=i686-w64-mingw32
OBKEY_WINEARCH=win32
if [ -f "$build_dir/windows-build.env" ]; then
  . "$build_dir/windows-build.env"
fi
platform=$OBKEY_WIN_PLATFORM
mingw=$OBKEY_MINGW_PREFIX
zip=$(ls "$build_dir"/obkey-*-"$platform".zip)
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

unzip -q "$zip" -d "$work"
root=$(ls -d "$work"/obkey-*-"$platform")

expected="README-windows.txt bin/obkey.dll bin/obkeyctl.exe include/obkey.h
include/obkey_types.h include/obkey_version.h lib/libobkey.dll.a lib/obkey.def lib/obkey.lib
softtoken/KeyOperation.dll softtoken/README-enrollment.md softtoken/README.md
softtoken/VeltaNxoEnrollApi.dll softtoken/xcsp_eclib.dll
p11token/KeyOperation.dll p11token/README.md p11token/xcsp_eclib.dll"
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
if [ "$actual" != "$(echo $expected | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')" ]; then
  echo "test-dist: the zip holds: $actual" >&2
  exit 1
fi
if [ "$platform" = win64 ]; then
  file_format=pei-x86-64
else
  file_format=pei-i386
fi
for f in "$root"/bin/*.dll "$root"/bin/*.exe "$root"/softtoken/*.dll "$root"/p11token/*.dll; do
  if "$mingw-objdump" -h "$f" | grep -q '\.debug_'; then
    echo "test-dist: $f carries debug sections" >&2
    exit 1
  fi
  if ! "$mingw-objdump" -f "$f" | grep -q "file format $file_format\$"; then
    echo "test-dist: $f is not $file_format: $("$mingw-objdump" -f "$f" | grep 'file format')" >&2
    exit 1
  fi
done

# Each imports only Windows' own DLLs and the three vendor libraries: the C
# and C++ runtimes and OpenSSL are linked in, so nothing else need be shipped.
allowed=(kernel32.dll advapi32.dll user32.dll msvcrt.dll ole32.dll oleaut32.dll ws2_32.dll
  crypt32.dll bcrypt.dll xcsp_eclib.dll keyoperation.dll veltanxoenrollapi.dll)
for f in "$root"/bin/*.dll "$root"/bin/*.exe "$root"/softtoken/*.dll "$root"/p11token/*.dll; do
  for dll in $("$mingw-objdump" -p "$f" | awk '/DLL Name:/ {print tolower($3)}'); do
    if ! printf '%s\n' "${allowed[@]}" | grep -qxF "$dll"; then
      echo "test-dist: $(basename "$f") imports $dll, which the zip does not hold" >&2
      exit 1
    fi
  done
done

# The DLL's export table: the names of the export list, undecorated, no more.
expected_exports=$(sed -n 's/^[ \t]\{1,\}\([A-Za-z_][A-Za-z_0-9]*\).*/\1/p' "$here/include/obkey/obkey.def" |
  LC_ALL=C sort)
actual_exports=$("$mingw-objdump" -p "$root/bin/obkey.dll" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ {table = 1; next} table && /^\t\[/ {print $NF; next}
       table {table = 0}' | LC_ALL=C sort)
if [ "$expected_exports" != "$actual_exports" ]; then
  echo "test-dist: obkey.dll exports differ from include/obkey/obkey.def (< expected, > exported):" >&2
  diff <(echo "$expected_exports") <(echo "$actual_exports") >&2 || true
  exit 1
fi

# The header, as C and C++, before and after the Windows headers.
for compiler in "$mingw-gcc" "$mingw-g++"; do
  for order in -DOBKEY_HEADER_FIRST -UOBKEY_HEADER_FIRST; do
    language=c
    [ "$compiler" = "$mingw-g++" ] && language=c++
    "$compiler" -x "$language" -Wall -Wextra -Werror -fsyntax-only $order -I"$root/include" \
      "$here/tests/client/header_order.c"
  done
done

client_flags=(-Wall -Wextra -Werror -O2 -ffreestanding -fno-builtin -I"$root/include")
if [ "$platform" = win64 ]; then
  # x64 symbols have no leading underscore and no stdcall decoration.
  entry=ClientMain
  kernel32_exports='  GetStdHandle\n  WriteFile\n  ExitProcess\n  lstrlenA\n'
  dlltool_flags=(-m i386:x86-64)
  lld_flags=(/machine:x64)
else
  entry=_ClientMain
  kernel32_exports='  GetStdHandle@4\n  WriteFile@20\n  ExitProcess@4\n  lstrlenA@4\n'
  dlltool_flags=(-m i386 -k)
  # gcc objects carry no safe-exception-handler table, which lld-link wants by default.
  lld_flags=(/safeseh:no)
fi
"$mingw-gcc" "${client_flags[@]}" -nostdlib "$here/tests/client/dist_client.c" \
  -L"$root/lib" -lobkey -lkernel32 -Wl,-e,"$entry" -o "$work/client-mingw.exe"
"$mingw-gcc" "${client_flags[@]}" -c "$here/tests/client/dist_client.c" \
  -o "$work/dist_client.obj"
printf "LIBRARY kernel32.dll\nEXPORTS\n$kernel32_exports" >"$work/kernel32.def"
llvm-dlltool "${dlltool_flags[@]}" -d "$work/kernel32.def" -l "$work/kernel32.lib"
lld-link /nologo /subsystem:console /entry:ClientMain /nodefaultlib "${lld_flags[@]}" \
  /out:"$work/client-msvc.exe" "$work/dist_client.obj" "$root/lib/obkey.lib" "$work/kernel32.lib"
for client in client-mingw.exe client-msvc.exe; do
  if ! "$mingw-objdump" -f "$work/$client" | grep -q "file format $file_format\$"; then
    echo "test-dist: $client is not $file_format" >&2
    exit 1
  fi
done

export WINEPREFIX="$work/prefix" WINEARCH=$OBKEY_WINEARCH WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY XCSP_TOKEN_DIR OBKEY_SHA1_ENGINE
wineboot --init >/dev/null 2>&1 || true
# `wine reg` is the 32-bit reg.exe: in a 64-bit prefix it names the 64-bit
# view, which a 64-bit obkey.dll reads, as README-windows.txt tells users to.
reg_view=()
[ "$OBKEY_WINEARCH" = win64 ] && reg_view=(/reg:64)
wine reg add 'HKLM\SOFTWARE\orbisoft\Implement Type' /v USBKEY /t REG_SZ /d XCSP_KEY_0 /f \
  "${reg_view[@]}" >/dev/null

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

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
. "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:-build-win}" && pwd)
here=$OBKEY_ROOT
obkey_read_build_env "$build_dir"
platform=$OBKEY_WIN_PLATFORM
mingw=$OBKEY_MINGW_PREFIX
zip=$(ls "$build_dir"/obkey-*-"$platform".zip)
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

unzip -q "$zip" -d "$work"
root=$(ls -d "$work"/obkey-*-"$platform")

expected="README-windows.txt bin/obkey.dll bin/obkeyctl.exe include/obkey.h
include/obkey_types.h include/obkey_version.h include/obkey_status.h
include/softtoken_status.h include/enrollsim_status.h lib/libobkey.dll.a lib/obkey.def lib/obkey.lib
softtoken/KeyOperation.dll softtoken/README-enrollment.md softtoken/README.md
softtoken/VeltaNxoEnrollApi.dll softtoken/xcsp_eclib.dll
p11token/KeyOperation.dll p11token/README.md p11token/xcsp_eclib.dll"
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
if [ "$actual" != "$(echo "$expected" | tr ' ' '\n' | grep . | LC_ALL=C sort | tr '\n' ' ')" ]; then
  echo "test-dist: the zip holds: $actual" >&2
  exit 1
fi
file_format=$(obkey_pe_format "$platform")
for f in "$root"/bin/*.dll "$root"/bin/*.exe "$root"/softtoken/*.dll "$root"/p11token/*.dll; do
  if grep -q '\.debug_' <<<"$("$mingw-objdump" -h "$f")"; then
    echo "test-dist: $f carries debug sections" >&2
    exit 1
  fi
  if ! obkey_pe_aslr_dep "$f"; then
    echo "test-dist: $f lacks ASLR or DEP (DYNAMIC_BASE, NX_COMPAT)" >&2
    exit 1
  fi
  if ! obkey_is_pe "$f" "$platform"; then
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
    # Not a pipe into grep -q: under pipefail its early exit can fail the
    # writer with SIGPIPE and make an allowed DLL look foreign.
    if ! grep -qxF "$dll" <<<"$(printf '%s\n' "${allowed[@]}")"; then
      echo "test-dist: $(basename "$f") imports $dll, which the zip does not hold" >&2
      exit 1
    fi
  done
done

# The DLL's export table: the names of the export list, undecorated, no more.
bash "$here/scripts/check-exports.sh" "$root/bin/obkey.dll" "$here/include/obkey/obkey.def" >/dev/null

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
printf 'LIBRARY kernel32.dll\nEXPORTS\n%b' "$kernel32_exports" >"$work/kernel32.def"
llvm-dlltool "${dlltool_flags[@]}" -d "$work/kernel32.def" -l "$work/kernel32.lib"
lld-link /nologo /subsystem:console /entry:ClientMain /nodefaultlib "${lld_flags[@]}" \
  /out:"$work/client-msvc.exe" "$work/dist_client.obj" "$root/lib/obkey.lib" "$work/kernel32.lib"
for client in client-mingw.exe client-msvc.exe; do
  if ! obkey_is_pe "$work/$client" "$platform"; then
    echo "test-dist: $client is not $file_format" >&2
    exit 1
  fi
done

unset XCSP_TOKEN_DIR OBKEY_SHA1_ENGINE OBKEY_NO_MESSAGE_BOX
obkey_wine_env "$work/prefix" "$OBKEY_WINEARCH"
# In a 64-bit prefix the 64-bit registry view, which a 64-bit obkey.dll
# reads, as README-windows.txt tells users to.
obkey_set_device 0

cp "$root"/softtoken/*.dll "$work/client-mingw.exe" "$work/client-msvc.exe" "$root/bin/"
status=0
cd "$root/bin"
for client in client-mingw.exe client-msvc.exe; do
  wine "./$client" || status=1
done
obkey_check "obkeyctl.exe --help" wine ./obkeyctl.exe --help
obkey_check "obkeyctl.exe status on the formatted token" wine ./obkeyctl.exe status
wineserver --wait || true
obkey_summary dist || exit 1
exit $status

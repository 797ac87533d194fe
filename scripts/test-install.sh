#!/usr/bin/env bash
# test-install.sh BUILD_DIR: installs the Linux build into an empty prefix and
# uses it as a developer would, from the installed tree only: a C consumer
# built with pkg-config and a C++ consumer built with find_package(obkey)
# each format the software token, log in and sign; openssl checks the
# signatures. No installed file may name the build or source tree.
set -euo pipefail
build_dir=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

fail() {
  echo "test-install: $*" >&2
  exit 1
}

library=$(find "$prefix" -name 'libobkey.so.*.*.*' -type f)
[ -n "$library" ] || fail "no libobkey.so.X.Y.Z installed"
libdir=$(dirname "$library")
[ "$(readlink "$libdir/libobkey.so")" = libobkey.so.1 ] || fail "libobkey.so does not point at libobkey.so.1"
grep -q 'SONAME.*\[libobkey.so.1\]' <<<"$(readelf -d "$library")" || fail "SONAME is not libobkey.so.1"
for f in "$libdir"/obkey/libxcsp_eclib.so "$libdir"/obkey/libKeyOperation.so \
  "$libdir"/obkey/libVeltaNxoEnrollApi.so "$prefix"/bin/obkeyctl \
  "$prefix"/include/obkey/obkey.h "$prefix"/include/obkey/obkey_version.h \
  "$libdir"/pkgconfig/obkey.pc "$libdir"/cmake/obkey/obkeyConfig.cmake \
  "$libdir"/cmake/obkey/obkeyConfigVersion.cmake "$prefix"/share/doc/obkey/README-softtoken.md; do
  [ -e "$f" ] || fail "missing ${f#"$prefix"/}"
done
while IFS= read -r elf; do
  if readelf -d "$elf" 2>/dev/null | grep -E 'RPATH|RUNPATH' | grep -qE "$build_dir|$here"; then
    fail "${elf#"$prefix"/} names the build tree: $(readelf -d "$elf" | grep -E 'RPATH|RUNPATH')"
  fi
done < <(find "$prefix" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
# Text files (headers, pkg-config, CMake package) name no build path either.
if grep -rIlF "$build_dir" "$prefix" >/dev/null; then
  fail "installed files name the build tree: $(grep -rIlF "$build_dir" "$prefix" | tr '\n' ' ')"
fi

# The token the consumers work on, in the work folder only.
export OBKEY_REGISTRY="$work/registry.reg" XCSP_TOKEN_DIR="$work/tokens" OBKEY_LOG="$work/xml816.log"
printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]\n"USBKEY"="XCSP_KEY_0"\n' >"$OBKEY_REGISTRY"
mkdir -m 700 "$XCSP_TOKEN_DIR"

# C, through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
read -ra pkg_flags <<<"$(pkg-config --cflags --libs obkey)"
cc -std=c99 -Wall -Wextra -Werror "$here/tests/sdk/sdk_client.c" "${pkg_flags[@]}" -o "$work/sdk_client_c"
# C++, through the CMake package.
cmake -S "$here/tests/sdk" -B "$work/cxx" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cxx" >/dev/null

passed=0
for client in "$work/sdk_client_c" "$work/cxx/sdk_client_cxx"; do
  out="$work/out-$(basename "$client")"
  mkdir "$out"
  LD_LIBRARY_PATH="$libdir" "$client" "$out" >/dev/null
  openssl rsa -pubin -inform MSBLOB -in "$out/public.blob" -out "$out/public.pem" 2>/dev/null
  openssl dgst -sha1 -verify "$out/public.pem" -signature "$out/signature" "$out/message" >/dev/null ||
    fail "openssl does not verify the signature of $(basename "$client")"
  passed=$((passed + 1))
done
help=$("$prefix/bin/obkeyctl" --help) || fail "the installed obkeyctl does not run"
grep -qxF "  --token-library $libdir/obkey/p11token/libxcsp_eclib.so" <<<"$help" ||
  fail "obkeyctl --help does not name the installed PKCS #11 token library"
# Plain paths, as a build system would print them in its commands.
read -r cflags <<<"$(pkg-config --cflags obkey)"
[ "$cflags" = "-I$prefix/include" ] || fail "pkg-config --cflags obkey gives '$cflags'"
echo "test-install: $passed consumers signed from the installed tree, verified by openssl"

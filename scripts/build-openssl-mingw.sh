#!/usr/bin/env bash
# build-openssl-mingw.sh [i686|x86_64]: cross-builds a static libcrypto for
# <arch>-w64-mingw32 (default i686) from Debian's openssl source package. The
# result is cached outside the work tree, keyed by the architecture, the
# source version and the flags, so a second run costs nothing.
# Prints the install prefix on its last line.
set -euo pipefail

# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"
arch=${1:-i686}
obkey_mingw_arch "$arch" build-openssl-mingw || exit 2
cache_root=$(obkey_cache_root)
version=$(obkey_source_version openssl build-openssl-mingw)
case "$arch" in
  i686)
    # Windows x86 callers promise only 4-byte stack alignment; the library is
    # built for that like the rest of the DLL
    # (cmake/toolchain-mingw.cmake). The flags are part of the
    # cache key, so a change of flags builds afresh.
    target=mingw
    extra_flags=("-mincoming-stack-boundary=2")
    prefix="$cache_root/openssl-mingw32-$version-sb2"
    ;;
  x86_64)
    # The x64 calling convention guarantees a 16-byte aligned stack at every
    # call, so the compiler's defaults hold.
    target=mingw64
    extra_flags=()
    prefix="$cache_root/openssl-mingw64-$version"
    ;;
esac

if [ -f "$prefix/lib/libcrypto.a" ] && [ -f "$prefix/include/openssl/opensslv.h" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache_root"
work=$(mktemp -d "$cache_root/build.XXXXXX")
trap 'rm -rf "$work"' EXIT

(
  cd "$work"
  obkey_upstream_source openssl "$version" src build-openssl-mingw
  cd src
  ./Configure "$target" no-asm no-shared no-tests no-engine \
    no-dso no-async no-module no-legacy \
    --cross-compile-prefix="$arch-w64-mingw32-" ${extra_flags[@]+"${extra_flags[@]}"} \
    --prefix="$prefix" --libdir=lib >&2
  make -j"$(nproc)" build_libs >&2
  make install_dev >&2
)
echo "$prefix"

#!/usr/bin/env bash
# build-openssl-mingw.sh [i686|x86_64]: cross-builds a static libcrypto for
# <arch>-w64-mingw32 (default i686) from Debian's openssl source package. The
# result is cached outside the work tree, keyed by the architecture, the
# source version and the flags, so a second run costs nothing.
# Prints the install prefix on its last line.
set -euo pipefail

arch=${1:-i686}
cache_root="${OBKEY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/obkey}"
version=$(apt-cache showsrc openssl 2>/dev/null | awk '/^Version:/ {print $2; exit}')
if [ -z "$version" ]; then
  echo "build-openssl-mingw: no openssl source package known to apt (run scripts/deps.sh)" >&2
  exit 1
fi
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
  *)
    echo "build-openssl-mingw: unknown architecture '$arch' (i686 or x86_64)" >&2
    exit 2
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
  apt-get source --download-only "openssl=$version" >&2
  tarball=$(find . -maxdepth 1 -name 'openssl_*.orig.tar.*' | head -n 1)
  mkdir src
  tar -xf "$tarball" -C src --strip-components=1
  cd src
  # Debian's own patches are for its Linux packaging; the upstream sources
  # are what a Windows build wants.
  ./Configure "$target" no-asm no-shared no-tests no-engine \
    no-dso no-async no-module no-legacy \
    --cross-compile-prefix="$arch-w64-mingw32-" ${extra_flags[@]+"${extra_flags[@]}"} \
    --prefix="$prefix" --libdir=lib >&2
  make -j"$(nproc)" build_libs >&2
  make install_dev >&2
)
echo "$prefix"

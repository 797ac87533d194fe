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
case "$arch" in
  i686)
    # Windows x86 callers promise only 4-byte stack alignment; the library is
    # built for that like the rest of the DLL
    # (cmake/toolchain-mingw.cmake). The flags are part of the
    # cache key, so a change of flags builds afresh.
    target=mingw
    extra_flags=("-mincoming-stack-boundary=2")
    cache_name=openssl-mingw32-%s-sb2
    ;;
  x86_64)
    # The x64 calling convention guarantees a 16-byte aligned stack at every
    # call, so the compiler's defaults hold.
    target=mingw64
    extra_flags=()
    cache_name=openssl-mingw64-%s
    ;;
esac

# prefix_of VERSION: where the build of that source version is kept.
prefix_of() {
  # shellcheck disable=SC2059
  printf "$cache_root/$cache_name" "$1"
}
built() {
  [ -f "$(prefix_of "$1")/lib/libcrypto.a" ] && [ -f "$(prefix_of "$1")/include/openssl/opensslv.h" ]
}

mkdir -p "$cache_root"
work=$(mktemp -d "$cache_root/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
read -r how version < <(obkey_fetch_source openssl "$work/src" build-openssl-mingw built) || exit 1
prefix=$(prefix_of "$version")
if [ "$how" = cached ]; then
  echo "$prefix"
  exit 0
fi

(
  cd "$work/src"
  ./Configure "$target" no-asm no-shared no-tests no-engine \
    no-dso no-async no-module no-legacy \
    --cross-compile-prefix="$arch-w64-mingw32-" ${extra_flags[@]+"${extra_flags[@]}"} \
    --prefix="$prefix" --libdir=lib >&2
  make -j"$(nproc)" build_libs >&2
  make install_dev >&2
)
echo "$prefix"

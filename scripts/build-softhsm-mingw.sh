#!/usr/bin/env bash
# build-softhsm-mingw.sh [i686|x86_64]: cross-builds SoftHSMv2's PKCS #11
# module (libsofthsm2.dll) and softhsm2-util.exe for <arch>-w64-mingw32 from
# Debian's softhsm2 source, against the OpenSSL that build-openssl-mingw.sh
# caches. Cached likewise, keyed by the architecture and the source version.
# Prints the folder holding both on its last line.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib.sh
. "$here/lib.sh"
arch=${1:-i686}
obkey_mingw_arch "$arch" build-softhsm-mingw || exit 2
bits=32
[ "$arch" = i686 ] || bits=64
prefix_of() {
  echo "$(obkey_cache_root)/softhsm2-mingw$bits-$1"
}
built() {
  [ -f "$(prefix_of "$1")/libsofthsm2.dll" ] && [ -f "$(prefix_of "$1")/softhsm2-util.exe" ]
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
src="$work/softhsm2"
read -r how version < <(obkey_fetch_source softhsm2 "$src" build-softhsm-mingw built) || exit 1
prefix=$(prefix_of "$version")
if [ "$how" = cached ]; then
  echo "$prefix"
  exit 0
fi
openssl=$(bash "$here/build-openssl-mingw.sh" "$arch" | tail -n1)
# The cached OpenSSL has no engines: SoftHSMv2 only looks for RDRAND's.
sed -i '/#include <openssl\/rand.h>/a #ifdef OPENSSL_NO_ENGINE\n#define ENGINE_init(e) 0\n#define ENGINE_set_default(e, m) 0\n#define ENGINE_METHOD_RAND 0\n#define ENGINE_finish(e) ((void)(e))\n#define ENGINE_free(e) ((void)(e))\n#define ENGINE_by_id(i) NULL\n#define ENGINE_load_rdrand()\n#endif' \
  "$src/src/lib/crypto/OSSLCryptoFactory.cpp"
# Its Windows stand-ins for syslog and setenv, which only its MSVC projects
# list.
sed -i 's|^set(SOURCES access.cpp|set(SOURCES access.cpp win32/syslog.cpp win32/setenv.cpp|' \
  "$src/src/lib/CMakeLists.txt"
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $arch-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER $arch-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER $arch-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH $openssl /usr/$arch-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
static="-static-libgcc -static-libstdc++ -static"
extra_options=()
if [ "$arch" = x86_64 ]; then extra_options+=(-DENABLE_64bit=ON); fi
cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DWITH_CRYPTO_BACKEND=openssl -DOPENSSL_ROOT_DIR="$openssl" \
  -DOPENSSL_USE_STATIC_LIBS=TRUE -DENABLE_GOST=OFF -DENABLE_ECC=OFF -DENABLE_P11_KIT=OFF \
  -DENABLE_STATIC=OFF -DENABLE_STRICT=OFF -DBUILD_TESTS=OFF "${extra_options[@]}" \
  "-DCMAKE_C_FLAGS=-I$src/src/lib/win32" "-DCMAKE_CXX_FLAGS=-I$src/src/lib/win32" \
  "-DCMAKE_SHARED_LINKER_FLAGS=$static" "-DCMAKE_EXE_LINKER_FLAGS=$static" \
  "-DCMAKE_CXX_STANDARD_LIBRARIES=-lws2_32 -lcrypt32 -lbcrypt" >"$work/configure.log" 2>&1 ||
  { tail -n 30 "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" --target softhsm2 softhsm2-util -j"${JOBS:-2}" >"$work/build.log" 2>&1 ||
  { grep -E 'error' "$work/build.log" | head -n 20 >&2; exit 1; }
mkdir -p "$prefix"
cp "$work/build/src/lib/libsofthsm2.dll" "$work/build/src/bin/util/softhsm2-util.exe" "$prefix/"
echo "$prefix"

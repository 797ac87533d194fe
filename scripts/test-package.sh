#!/usr/bin/env bash
# test-package.sh BUILD_DIR: makes the Debian package of the install tree and
# inspects it without installing it: its files and its run-time dependencies.
set -euo pipefail
build_dir=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build_dir/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(ls "$work"/obkey_*.deb)
fail() {
  echo "test-package: $*" >&2
  exit 1
}
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libssl3 libxml2; do
  grep -q "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for needed in ./usr/lib/libobkey.so.1.0.0 ./usr/lib/obkey/libxcsp_eclib.so ./usr/bin/obkeyctl \
  ./usr/include/obkey/obkey.h ./usr/lib/pkgconfig/obkey.pc ./usr/lib/cmake/obkey/obkeyConfig.cmake; do
  grep -qxF "$needed" <<<"$contents" || fail "the package lacks $needed"
done
echo "test-package: $(basename "$deb"): Depends: $depends"

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

# What a Debian user's tools say of it: lintian finds no error.
command -v lintian >/dev/null || fail "lintian is missing (scripts/deps.sh test installs it)"
errors=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep '^E:' || true)
[ -z "$errors" ] || fail "lintian reports errors: $errors"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -x "$deb" "$work/root"
newest=$(zcat "$work/root/usr/share/doc/obkey/changelog.gz")
[[ ${newest%%$'\n'*} == "obkey ($version) "* ]] || fail "the changelog's newest entry is not version $version"
# pkg-config prints the paths as they are on the installed system.
pc_prefix=$(PKG_CONFIG_PATH="$work/root/usr/lib/pkgconfig" pkg-config --variable=prefix obkey)
[ "$pc_prefix" = /usr ] || fail "obkey.pc's prefix is $pc_prefix, not /usr"
# The PKCS #11 token library that obkeyctl --help names is the package's.
named=$("$work/root/usr/bin/obkeyctl" --help | sed -n 's/^  --token-library \(\/[^ ]*\)$/\1/p')
[ "$named" = "$work/root/usr/lib/obkey/p11token/libxcsp_eclib.so" ] ||
  fail "obkeyctl --help names '$named' as the PKCS #11 token library"
echo "test-package: $(basename "$deb"): Depends: $depends; lintian: no error"

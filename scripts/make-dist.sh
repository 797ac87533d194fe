#!/usr/bin/env bash
# make-dist.sh BUILD_WIN: writes obkey-<version>-win32.zip (i686 tree) or
# obkey-<version>-win64.zip (x86_64 tree), both laid out alike, into the
# Windows build tree from what it built, and prints the zip's path on its last
# line.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:-build-win}" && pwd)
here=$OBKEY_ROOT
obkey_read_build_env "$build_dir"

version=$(sed -n 's/^#define OBKEY_VERSION_STRING "\(.*\)"$/\1/p' "$build_dir/include/obkey_version.h")
if [ -z "$version" ]; then
  echo "make-dist: no version in $build_dir/include/obkey_version.h (build first)" >&2
  exit 1
fi
name="obkey-$version-$OBKEY_WIN_PLATFORM"
stage="$build_dir/dist/$name"
rm -rf "$stage" "$build_dir/$name.zip"
mkdir -p "$stage/bin" "$stage/lib" "$stage/include" "$stage/softtoken" "$stage/p11token"

cp "$build_dir/lib/obkey.dll" "$build_dir/bin/obkeyctl.exe" "$stage/bin/"
cp "$build_dir/lib/libobkey.dll.a" "$build_dir/lib/obkey.lib" "$build_dir/lib/obkey.def" "$stage/lib/"
cp "$here/include/obkey/obkey.h" "$here/include/obkey/obkey_types.h" "$build_dir/include/obkey_version.h" "$stage/include/"
cp "$here/include/status/obkey_status.h" "$here/include/status/softtoken_status.h" \
  "$here/include/status/enrollsim_status.h" "$stage/include/"
cp "$build_dir/softtoken/xcsp_eclib.dll" "$build_dir/softtoken/KeyOperation.dll" \
  "$build_dir/enrollsim/VeltaNxoEnrollApi.dll" "$stage/softtoken/"
cp "$here/softtoken/README.md" "$stage/softtoken/README.md"
cp "$here/enrollsim/README.md" "$stage/softtoken/README-enrollment.md"
cp "$build_dir/p11token/xcsp_eclib.dll" "$build_dir/p11token/KeyOperation.dll" "$stage/p11token/"
cp "$here/p11token/README.md" "$stage/p11token/README.md"
cp "$build_dir/README-windows.txt" "$stage/README-windows.txt"

(cd "$build_dir/dist" && zip -q -r -X "$build_dir/$name.zip" "$name")
echo "$build_dir/$name.zip"

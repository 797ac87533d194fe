#!/usr/bin/env bash
# test-source-fetch.sh: the first step of every cross build, as a machine
# with nothing cached takes it: each upstream source the Windows builds use
# is fetched from today's mirror into an empty folder of its own, checked
# against the source index and unpacked, and the files the builds rely on
# are looked for. Nothing is built. A change on the mirror that would break
# a newcomer's first `make test` fails here instead.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OBKEY_CACHE="$work/cache"

# PACKAGE then the files its build script reads or patches.
sources=(
  "openssl Configure include/openssl/opensslv.h.in"
  "softhsm2 CMakeLists.txt src/lib/CMakeLists.txt src/lib/crypto/OSSLCryptoFactory.cpp src/lib/win32/syslog.cpp"
)
for entry in "${sources[@]}"; do
  read -r package files <<<"$entry"
  folder="$work/$package"
  obkey_check "$package: the newest source is fetched, checked and unpacked" \
    obkey_fetch_source "$package" "$folder" test-source-fetch
  for file in $files; do
    obkey_check "$package: the source holds $file" test -f "$folder/$file"
  done
done

# The same step against a mirror that misbehaves, played by a stand-in for
# apt's downloader: a changed tarball stops the fetch; a dropped one is
# passed over for the next older version; nothing left fails it.
fake_helper="$work/apt-helper"
cat >"$fake_helper" <<'FAKE'
#!/usr/bin/env bash
# download-file URI TARGET, as the test's mirror answers it.
case "$FAKE_MIRROR:$2" in
  changed:*) echo "not the tarball" >"$3" ;;
  drops-newest:*"$FAKE_NEWEST"*) exit 100 ;;
  drops-newest:*) exec /usr/lib/apt/apt-helper "$@" ;;
  *) exit 100 ;;
esac
FAKE
chmod +x "$fake_helper"
mapfile -t versions < <(obkey_source_versions openssl)
obkey_check "openssl: apt knows two versions, for the fallback to pick from" test ${#versions[@]} -ge 2
newest_upstream=${versions[0]#*:}
# fetch_with MIRROR EXPECTED_STATUS PATTERN...: the fetch ends with that
# status and its messages match every PATTERN.
fetch_with() {
  local mirror=$1 expected=$2 status=0 out pattern
  shift 2
  out=$(FAKE_MIRROR=$mirror FAKE_NEWEST="_${newest_upstream%-*}.orig" \
    OBKEY_APT_HELPER=$fake_helper obkey_fetch_source openssl "$work/mirror-$mirror" \
    test-source-fetch 2>&1) || status=$?
  if [ "$status" -ne "$expected" ]; then
    printf 'status %s, expected %s; output:\n%s\n' "$status" "$expected" "$out"
    return 1
  fi
  for pattern in "$@"; do
    grep -Eq "$pattern" <<<"$out" || {
      printf 'no line matches %s; output:\n%s\n' "$pattern" "$out"
      return 1
    }
  done
}
obkey_check "a changed tarball stops the fetch, naming package, version and file" \
  fetch_with changed 1 "openssl_.*orig.tar.* \\(openssl ${versions[0]}\\) differs from the source index"
obkey_check "a dropped newest version is named and the next older one fetched" \
  fetch_with drops-newest 0 "\\(openssl ${versions[0]}\\) is missing from the mirror" \
  "^fetched ${versions[1]}\$"
obkey_check "a mirror with no version left fails, naming what it tried" \
  fetch_with gone 1 "no version of the openssl source could be fetched \\(tried ${versions[*]}\\)"
obkey_summary test-source-fetch

#!/usr/bin/env bash
# deps.sh [--dry-run] [NEED...]: installs the Debian packages a need takes.
# Idempotent; runs as root (or through sudo) with no prompt.
#
#   build   the Linux library, obkeyctl and the demo: what `make demo`,
#           `make install` and `make package` need (a build without tests)
#   pkcs11  `make demo-pkcs11`: the build set, SoftHSMv2 and pkcs11-tool
#   test    everything `make test` needs besides: GoogleTest, clang and the
#           sanitizers, the MinGW cross compilers, Wine with the i386
#           architecture, SoftHSM, lintian, and deb-src entries for the
#           OpenSSL and SoftHSMv2 sources
#
# Without a NEED it installs for `test`, which takes in the other two.
# --dry-run changes nothing: it prints each package of the needs as
# "have NAME" or "install NAME", and each other step as "step ...".
set -euo pipefail

build_packages=(
  build-essential cmake make pkg-config
  libssl-dev openssl libxml2-dev
)
pkcs11_packages=(softhsm2 opensc)
test_packages=(
  git ca-certificates
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev clang-format
  g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  dpkg-dev xz-utils zip unzip lintian
  lld llvm shellcheck
  libp11-kit-dev
  p11-kit p11-kit-modules swtpm swtpm-tools libtpm2-pkcs11-1 libtpm2-pkcs11-tools tpm2-tools
  tpm2-abrmd libtss2-tcti-tabrmd0 dbus
  wine wine32:i386 wine64
)

dry_run=0
needs=()
for arg in "$@"; do
  case "$arg" in
    --dry-run) dry_run=1 ;;
    build | pkcs11 | test) needs+=("$arg") ;;
    *)
      echo "deps.sh: unknown need '$arg' (build, pkcs11, test, --dry-run)" >&2
      exit 2
      ;;
  esac
done
[ ${#needs[@]} -gt 0 ] || needs=(test)

packages=("${build_packages[@]}")
with_test=0
for need in "${needs[@]}"; do
  case "$need" in
    pkcs11) packages+=("${pkcs11_packages[@]}") ;;
    test)
      with_test=1
      packages+=("${pkcs11_packages[@]}" "${test_packages[@]}")
      ;;
  esac
done

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  if installed "$p"; then
    [ $dry_run -eq 0 ] || echo "have $p"
  else
    [ $dry_run -eq 0 ] || echo "install $p"
    missing+=("$p")
  fi
done

# The test set cross-builds OpenSSL from Debian's source package and runs
# 32-bit Wine: it needs the i386 architecture and deb-src entries.
need_i386=0
need_src=0
if [ $with_test -eq 1 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
  apt-cache showsrc openssl >/dev/null 2>&1 || need_src=1
fi

if [ $dry_run -eq 1 ]; then
  [ $need_i386 -eq 0 ] || echo "step dpkg --add-architecture i386"
  [ $need_src -eq 0 ] || echo "step add deb-src entries for the Debian suites"
  [ ${#missing[@]} -eq 0 ] || echo "step apt-get install ${missing[*]}"
  exit 0
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ] && [ $need_src -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if [ $need_i386 -eq 1 ]; then
  $sudo dpkg --add-architecture i386
fi

# deb-src entries for Debian's own suites, so that `apt-get source openssl` works
src_list=/etc/apt/sources.list.d/obkey-src.sources
if [ $need_src -eq 1 ] && [ ! -f "$src_list" ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee "$src_list" >/dev/null
  else
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $sudo tee /etc/apt/sources.list.d/obkey-src.list >/dev/null
    $sudo touch "$src_list"
  fi
fi

$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${packages[@]}"

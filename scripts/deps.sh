#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the Windows cross
# build and the Wine tests need. Idempotent; runs as root with no prompt.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config git ca-certificates
  libssl-dev openssl libxml2-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev clang-format
  g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  dpkg-dev xz-utils zip unzip
  lld llvm
  softhsm2 opensc libp11-kit-dev
  p11-kit p11-kit-modules swtpm swtpm-tools libtpm2-pkcs11-1 libtpm2-pkcs11-tools tpm2-tools
  tpm2-abrmd libtss2-tcti-tabrmd0 dbus
  wine wine32:i386 wine64
)

have_all() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
  # the openssl source package needs a deb-src entry
  apt-cache showsrc openssl >/dev/null 2>&1 || return 1
}

if have_all; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

# deb-src entries for Debian's own suites, so that `apt-get source openssl` works
src_list=/etc/apt/sources.list.d/obkey-src.sources
if [ ! -f "$src_list" ]; then
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

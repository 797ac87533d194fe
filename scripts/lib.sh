# lib.sh: what the scripts share. Sourced, never run:
#   . "$(dirname "$0")/lib.sh"
# Every name it defines starts with obkey_ or OBKEY_.
# shellcheck shell=bash
# The variables it sets are for the scripts that source it.
# shellcheck disable=SC2034

OBKEY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The machine key the device and the PKCS #11 module are configured under.
OBKEY_CONFIG_KEY='HKLM\SOFTWARE\orbisoft\Implement Type'
# The admin PIN a token is formatted with, and a SoftHSMv2 token's SO PIN.
OBKEY_ADMIN_PIN='ZARQU.1974'

# obkey_read_build_env BUILD_DIR: what a Windows build tree was built for
# (OBKEY_WIN_PLATFORM, OBKEY_MINGW_PREFIX, OBKEY_WINEARCH), i686 when the
# tree does not say.
obkey_read_build_env() {
  OBKEY_WIN_PLATFORM=win32
  OBKEY_MINGW_PREFIX=i686-w64-mingw32
  OBKEY_WINEARCH=win32
  if [ -f "$1/windows-build.env" ]; then
    # shellcheck source=/dev/null
    . "$1/windows-build.env"
  fi
  # The registry view `wine reg` must name: it is the 32-bit reg.exe, which
  # in a 64-bit prefix writes the 32-bit view unless told otherwise, and a
  # 64-bit program reads the 64-bit one.
  OBKEY_REG_VIEW=()
  if [ "$OBKEY_WINEARCH" = win64 ]; then
    OBKEY_REG_VIEW=(/reg:64)
  fi
}

# obkey_wine_env PREFIX ARCH: a headless Wine in PREFIX (win32 or win64),
# created when missing: no Mono or Gecko installer prompts, no message box
# waiting for a click, no display.
obkey_wine_env() {
  export WINEPREFIX=$1 WINEARCH=$2 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" OBKEY_NO_MESSAGE_BOX=1
  unset DISPLAY
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
  fi
}

# obkey_set_device INDEX [VIEW...]: the configured device, in the registry
# view given or the tree's (OBKEY_REG_VIEW).
obkey_set_device() {
  local index=$1
  shift
  local view=("$@")
  [ $# -gt 0 ] || view=(${OBKEY_REG_VIEW[@]+"${OBKEY_REG_VIEW[@]}"})
  wine reg add "$OBKEY_CONFIG_KEY" /v USBKEY /t REG_SZ /d "XCSP_KEY_$index" /f \
    ${view[@]+"${view[@]}"} >/dev/null
}

# obkey_unset_device: no device configured (in the tree's registry view).
obkey_unset_device() {
  wine reg delete "$OBKEY_CONFIG_KEY" /v USBKEY /f \
    ${OBKEY_REG_VIEW[@]+"${OBKEY_REG_VIEW[@]}"} >/dev/null 2>&1 || true
}

# obkey_stage FOLDER FILE...: FOLDER emptied and made to hold the files, side
# by side as a client would have them.
obkey_stage() {
  local folder=$1
  shift
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$@" "$folder/"
}

# obkey_stage_client FOLDER BUILD_DIR [TOKEN_DIR]: obkey.dll, obkeyctl.exe,
# the token libraries of TOKEN_DIR (the software token's by default) and the
# enrollment stand-in.
obkey_stage_client() {
  local folder=$1 build=$2 token=${3:-$2/softtoken}
  obkey_stage "$folder" "$build/lib/obkey.dll" "$build/bin/obkeyctl.exe" \
    "$token/xcsp_eclib.dll" "$token/KeyOperation.dll" "$build/enrollsim/VeltaNxoEnrollApi.dll"
}

# obkey_pe_format PLATFORM: objdump's name for the PE files of win32 or win64.
obkey_pe_format() {
  if [ "$1" = win64 ]; then echo pei-x86-64; else echo pei-i386; fi
}

# obkey_is_pe FILE PLATFORM: FILE is a PE file of PLATFORM's architecture.
obkey_is_pe() {
  local format header
  format=$(obkey_pe_format "$2")
  header=$(x86_64-w64-mingw32-objdump -f "$1" 2>/dev/null) || return 1
  grep -q "file format $format\$" <<<"$header"
}

# obkey_pe_aslr_dep FILE: the PE file may be loaded at any address (ASLR)
# and runs with its data not executable (DEP).
obkey_pe_aslr_dep() {
  local header
  header=$(x86_64-w64-mingw32-objdump -p "$1" 2>/dev/null) || return 1
  grep -qw DYNAMIC_BASE <<<"$header" && grep -qw NX_COMPAT <<<"$header"
}

# obkey_def_names DEF_FILE: the exported names of a .def file, sorted, the
# stdcall decoration and any internal name left out.
obkey_def_names() {
  sed -n '/^EXPORTS/,$p' "$1" | tail -n +2 | awk 'NF {print $1}' | sed 's/[=@].*//' | LC_ALL=C sort
}

# obkey_exported_names LIBRARY: every name a shared library exports, sorted:
# a DLL's export table, or an ELF file's defined dynamic symbols of any kind
# (functions and data alike) but the version nodes.
obkey_exported_names() {
  case "$1" in
    *.dll)
      x86_64-w64-mingw32-objdump -p "$1" |
        awk '/^\[Ordinal\/Name Pointer\] Table/ {table = 1; next}
             table && /^\t\[/ {print $NF; next}
             table {table = 0}' | LC_ALL=C sort
      ;;
    *)
      nm -D --defined-only "$1" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | LC_ALL=C sort -u
      ;;
  esac
}

# obkey_cache_root: the folder, outside any work tree, where the MinGW cross
# builds are kept between runs.
obkey_cache_root() {
  echo "${OBKEY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/obkey}"
}

# obkey_mingw_arch ARCH SCRIPT: fails with SCRIPT's message unless ARCH is a
# MinGW architecture the cross builds know (i686 or x86_64).
obkey_mingw_arch() {
  case "$1" in
    i686 | x86_64) ;;
    *)
      echo "$2: unknown architecture '$1' (i686 or x86_64)" >&2
      return 1
      ;;
  esac
}

# obkey_source_versions PACKAGE: every version of PACKAGE's Debian source
# that apt knows, newest first, one a line; nothing when there is none.
obkey_source_versions() {
  local versions=() version i j
  mapfile -t versions < <(apt-cache showsrc "$1" 2>/dev/null |
    awk -v want="$1" '/^Package:/ {package = $2} /^Version:/ && package == want {print $2}' |
    LC_ALL=C sort -u)
  # Debian's own order (a tilde sorts before anything), which sort cannot do.
  for ((i = 1; i < ${#versions[@]}; i++)); do
    version=${versions[i]}
    for ((j = i - 1; j >= 0; j--)); do
      dpkg --compare-versions "${versions[j]}" lt "$version" || break
      versions[j + 1]=${versions[j]}
    done
    versions[j + 1]=$version
  done
  [ ${#versions[@]} -eq 0 ] || printf '%s\n' "${versions[@]}"
}

# obkey_upstream_tarball PACKAGE VERSION: "SHA256 NAME" of the upstream
# tarball that the source package's .dsc lists (its Checksums-Sha256 field,
# as apt's signed index carries it): NAME is exactly
# PACKAGE_UPSTREAM.orig.tar.EXT, never a signature beside it.
obkey_upstream_tarball() {
  local upstream=${2#*:}
  upstream=${upstream%-*}
  apt-cache showsrc "$1" 2>/dev/null | awk -v package="$1" -v version="$2" \
    -v prefix="$1_$upstream.orig.tar." '
      # A stanza is judged whole at its end: its fields come in any order.
      function stanza_end() {
        if (!printed && current == package && current_version == version && found != "") {
          print found
          printed = 1
        }
        current = current_version = found = ""
        in_sums = 0
      }
      /^$/ {stanza_end(); next}
      /^Package:/ {current = $2; in_sums = 0; next}
      /^Version:/ {current_version = $2; in_sums = 0; next}
      /^Checksums-Sha256:/ {in_sums = 1; next}
      /^[^ ]/ {in_sums = 0; next}
      in_sums && found == "" && index($3, prefix) == 1 &&
        substr($3, length(prefix) + 1) ~ /^(gz|xz|bz2|lzma)$/ {found = $1 " " $3}
      END {stanza_end()}'
}

# obkey_upstream_source PACKAGE VERSION FOLDER SCRIPT: the upstream tarball
# of PACKAGE at VERSION fetched by its exact name (through apt's own
# downloader, so apt's proxies and mirrors apply), its SHA-256 checked
# against the source index, and unpacked into FOLDER. Returns 3 when the
# mirror does not have the file (the caller may try another version), 1 on
# any other failure, each with SCRIPT's message naming the package, version
# and file. Debian's own part is never fetched: it is for its Linux packaging.
obkey_upstream_source() {
  local package=$1 version=$2 folder=$3 script=$4 listed sha256 name uri got
  listed=$(obkey_upstream_tarball "$package" "$version")
  if [ -z "$listed" ]; then
    echo "$script: the $package $version source lists no upstream tarball" >&2
    return 1
  fi
  read -r sha256 name <<<"$listed"
  uri=$(apt-get source --print-uris "$package=$version" 2>/dev/null |
    awk -v name="$name" '$2 == name {gsub(/\047/, "", $1); print $1; exit}')
  if [ -z "$uri" ]; then
    echo "$script: apt knows no address of $name ($package $version)" >&2
    return 1
  fi
  mkdir -p "$folder"
  if ! "${OBKEY_APT_HELPER:-/usr/lib/apt/apt-helper}" download-file "$uri" "$folder/$name" >&2; then
    rm -f "$folder/$name" "$folder/$name.FAILED"
    echo "$script: $name ($package $version) is missing from the mirror ($uri)" >&2
    return 3
  fi
  got=$(sha256sum "$folder/$name" | awk '{print $1}')
  if [ "$got" != "$sha256" ]; then
    echo "$script: $name ($package $version) differs from the source index:" \
      "SHA-256 $got, listed $sha256" >&2
    return 1
  fi
  if ! tar -xf "$folder/$name" -C "$folder" --strip-components=1; then
    echo "$script: $name ($package $version) could not be unpacked" >&2
    return 1
  fi
  rm -f "$folder/$name"
}

# obkey_fetch_source PACKAGE FOLDER SCRIPT [CACHED]: the newest version of
# PACKAGE's source that is either already built (the command CACHED VERSION
# succeeds) or fetched and unpacked into FOLDER. Prints "cached VERSION" or
# "fetched VERSION". A version the mirror has dropped is passed over with a
# message; a tarball that differs from the index stops it.
obkey_fetch_source() {
  local package=$1 folder=$2 script=$3 cached=${4:-} versions=() version status
  mapfile -t versions < <(obkey_source_versions "$package")
  if [ ${#versions[@]} -eq 0 ]; then
    echo "$script: no $package source package known to apt (run scripts/deps.sh)" >&2
    return 1
  fi
  for version in "${versions[@]}"; do
    if [ -n "$cached" ] && "$cached" "$version"; then
      echo "cached $version"
      return 0
    fi
    status=0
    obkey_upstream_source "$package" "$version" "$folder" "$script" || status=$?
    case $status in
      0)
        echo "fetched $version"
        return 0
        ;;
      3) rm -rf "$folder" ;;
      *) return 1 ;;
    esac
  done
  echo "$script: no version of the $package source could be fetched (tried ${versions[*]})" >&2
  return 1
}

# obkey_softhsm_module: the path of SoftHSMv2's PKCS #11 module
# ($OBKEY_SOFTHSM2_MODULE when set); fails when there is none.
obkey_softhsm_module() {
  if [ -n "${OBKEY_SOFTHSM2_MODULE:-}" ]; then
    echo "$OBKEY_SOFTHSM2_MODULE"
    return
  fi
  local candidate
  for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so; do
    if [ -f "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  echo "SoftHSMv2's module not found (scripts/deps.sh installs softhsm2)" >&2
  return 1
}

# obkey_softhsm_token FOLDER: a SoftHSMv2 token store in FOLDER/softhsm, its
# configuration in FOLDER/softhsm2.conf (exported as SOFTHSM2_CONF), and one
# token labelled obkey whose SO PIN is the admin PIN obkey formats with and
# whose user PIN is 12345678. softhsm2-util's report goes to standard output.
obkey_softhsm_token() {
  mkdir -p "$1/softhsm"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$1/softhsm" >"$1/softhsm2.conf"
  export SOFTHSM2_CONF="$1/softhsm2.conf"
  softhsm2-util --init-token --free --label obkey --so-pin "$OBKEY_ADMIN_PIN" --pin 12345678
}

# Pass/fail counters: obkey_check WHAT COMMAND... runs the command, counts it
# and shows its output when it fails; obkey_summary NAME prints the counts and
# fails when any check failed.
OBKEY_PASSED=0
OBKEY_FAILED=0
obkey_check() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then
    OBKEY_PASSED=$((OBKEY_PASSED + 1))
  else
    OBKEY_FAILED=$((OBKEY_FAILED + 1))
    echo "FAILED: $what"
    [ -z "$out" ] || echo "$out"
  fi
}
obkey_summary() {
  echo "$1: $OBKEY_PASSED passed, $OBKEY_FAILED failed"
  [ "$OBKEY_FAILED" -eq 0 ]
}

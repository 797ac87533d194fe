#!/usr/bin/env bash
# test-readme-paths.sh BUILD_DIR: what the READMEs tell a newcomer to look
# at is there. Every path in backquotes that starts at a folder of the
# source tree must exist in it; one that starts at build/ or build-linux/
# (the Linux trees, laid out alike) must exist in BUILD_DIR; every `make
# TARGET` must be a target of the Makefile.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:-build}" && pwd)
cd "$OBKEY_ROOT"

# exists_in ROOT PATH: PATH (a file or a folder) is under ROOT.
exists_in() {
  [ -e "$1/$2" ]
}
# make_target TARGET: the Makefile has a rule for TARGET.
make_target() {
  grep -Eq "^([^:#=]* )?$1( [^:#=]*)?:" Makefile
}

for readme in README.md softtoken/README.md p11token/README.md enrollsim/README.md \
  bench/README.md tests/README.md; do
  while IFS= read -r quoted; do
    if [[ $quoted =~ ^make\ ([a-z0-9-]+) ]]; then
      obkey_check "$readme: \`$quoted\` is a Makefile target" make_target "${BASH_REMATCH[1]}"
      continue
    fi
    for word in $quoted; do
      # Placeholders, variables and home folders are not paths of this tree.
      [[ $word == */* && $word != *[\<\$~*=\'\"]* && $word != /* && $word != ./* ]] || continue
      first=${word%%/*}
      case "$first" in
        build | build-linux)
          obkey_check "$readme: $word is in the Linux build tree" exists_in "$build_dir" "${word#*/}"
          ;;
        *)
          [ -d "$first" ] || continue
          obkey_check "$readme: $word is in the source tree" exists_in . "$word"
          ;;
      esac
    done
  done < <(grep -o "\`[^\`]*\`" "$readme" | tr -d '`')
done
[ "$OBKEY_PASSED" -gt 0 ] || obkey_check "the READMEs name paths to check" false
obkey_summary test-readme-paths

#!/usr/bin/env bash
# check-include-roots.sh BUILD_DIR: what each compiled file may include, read
# from the include roots its target gives it (compile_commands.json).
#  - No file sees the repository root.
#  - obkey's own layers below the exports see neither the exports (api/), nor
#    the tools, nor a library implementation beside obkey.
#  - The library implementations beside obkey (software token, PKCS #11 token
#    library, enrollment stand-in) see none of obkey's own folders: they meet
#    obkey only in include/vendor and include/status. Nor does one see
#    another: what the two token libraries share lives in tokenrules/.
set -euo pipefail
build_dir=$1
root=$(cd "$(dirname "$0")/.." && pwd)
database=$build_dir/compile_commands.json

lower_layers="token cert files symkey crypto asn1 platform common"
upper_folders="api tools/obkeyctl tools/common softtoken p11token enrollsim"
beside_obkey="softtoken p11token enrollsim"
obkey_folders="api token cert files symkey crypto asn1 include/obkey"

if [ ! -s "$database" ]; then
  echo "check-include-roots: no compile database at $database" >&2
  exit 1
fi

# Prints "file<TAB>include root" for every -I and -isystem of every compiled
# file (joined to its folder or the next word), and "file<TAB>" for a file
# with none, so that every compiled file shows.
roots() {
  awk '/"command":/ { command = $0 }
       /"file":/ {
         file = $0; sub(/.*"file": "/, "", file); sub(/".*/, "", file)
         print file "\t"
         n = split(command, words, " ")
         for (i = 1; i <= n; i++) {
           if (words[i] == "-I" || words[i] == "-isystem") print file "\t" words[++i]
           else if (words[i] ~ /^-I/) print file "\t" substr(words[i], 3)
           else if (words[i] ~ /^-isystem/) print file "\t" substr(words[i], 9)
         }
       }' "$database"
}

status=0
fail() {
  echo "check-include-roots: $1" >&2
  status=1
}
folder_of() {
  local relative=${1#"$root"/}
  for folder in $lower_layers $beside_obkey; do
    case $relative in "$folder"/*) echo "$folder"; return ;; esac
  done
}

files=0
while IFS=$'\t' read -r file include_root; do
  if [ -z "$include_root" ]; then
    files=$((files + 1))
    continue
  fi
  [ "$include_root" = "$root" ] && fail "$file sees the repository root"
  folder=$(folder_of "$file")
  [ -n "$folder" ] || continue
  seen=${include_root#"$root"/}
  if [[ " $lower_layers " == *" $folder "* ]]; then
    for upper in $upper_folders; do
      [ "$seen" = "$upper" ] && fail "$file ($folder/) sees $upper/"
    done
  else
    for own in $obkey_folders; do
      [ "$seen" = "$own" ] && fail "$file ($folder/, beside obkey) sees $own/"
    done
    for other in $beside_obkey; do
      [ "$other" != "$folder" ] && [ "$seen" = "$other" ] && fail "$file ($folder/) sees $other/"
    done
  fi
done < <(roots | sort -u)

if [ "$files" -eq 0 ]; then
  fail "$database lists no compiled file"
fi
[ $status -eq 0 ] && echo "check-include-roots: the $files compiled files see only the roots they may"
exit $status

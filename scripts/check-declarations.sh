#!/usr/bin/env bash
# A function is declared in the folder of src/ that defines it: a prototype
# in provider/ of a function that engine/ defines is a dependency on the
# layer above that only the linker would see, and a reader looking for the
# function's home is sent to the wrong folder. The check compares, by
# qualified name, the prototypes of src/ with the function definitions of
# src/ (ctags, no build needed). src/platform/ declares what its subfolders
# (local/, windows/) define, so it counts as one folder and is not checked;
# a prototype with no definition in src/ (a pure virtual, a deleted member,
# a function of a system library) is not checked either.
#
#   bash scripts/check-declarations.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tags() {  # kind: name with its scope, then where
  ctags -x --sort=no --languages=C,C++ --map-C++=+.h --c++-kinds="$1" --c-kinds="$1" \
    --_xformat='%{scope}::%{name}	%{input}:%{line}' -R src
}

bad=$(awk -F'\t' '
  function folder(file,   parts) { split(file, parts, "/"); return parts[2] }
  FNR == NR { split($2, at, ":"); defined[$1, folder(at[1])] = 1; any[$1] = 1; next }
  {
    split($2, at, ":"); f = folder(at[1])
    if (f == "platform" || !($1 in any) || (($1, f) in defined)) next
    name = $1; sub(/^::/, "", name)
    print "  " $2 ": " name
  }
' <(tags f) <(tags p))
if [[ -n "$bad" ]]; then
  echo "check-declarations: declared away from the folder that defines them (move each to a header there):" >&2
  echo "$bad" >&2
  exit 1
fi
echo "check-declarations: every prototype is in the folder that defines it"

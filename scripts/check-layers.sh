#!/usr/bin/env bash
# Includes between the folders of src/ point down only:
#   component (the exports and the host's API)
#   watcher   (local changes, reported through the engine's tasks and events)
#   callbacks (the platform's requests, carried in the engine's tasks)
#   engine    (tasks, cache, enumeration, lifecycle, retries, exclusion)
#   provider  (the platform's callbacks and the placeholders)
#   diag
#   platform
#   support
# A folder may include its own headers and those of folders below it. The
# upward includes that are left are listed in scripts/layering-exceptions.txt,
# to be taken out one by one; the check fails on any include that is neither
# downward nor listed, and on a listed one that is gone (so the list shrinks).
#
#   bash scripts/check-layers.sh           check
#   bash scripts/check-layers.sh --list    print today's upward includes
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    component) echo 7 ;; watcher) echo 6 ;; callbacks) echo 5 ;; engine) echo 4 ;; provider) echo 3 ;;
    diag) echo 2 ;; platform) echo 1 ;; support) echo 0 ;; *) echo -1 ;;
  esac
}

upward() {
  grep -rnoE '^#include "[a-z_]+/[^"]+"' src --include='*.cpp' --include='*.h' --include='*.c' |
    while IFS=: read -r file _ include; do
      from=${file#src/}; from=${from%%/*}
      target=${include#\#include \"}; target=${target%\"}
      to=${target%%/*}
      [[ "$from" == "$to" ]] && continue
      rf=$(rank "$from"); rt=$(rank "$to")
      ((rt < 0)) && continue  # not a folder of src/ (halvex/, a system header)
      ((rt < rf)) && continue
      echo "$file -> $target"
    done | sort -u
}

if [[ "${1:-}" == --list ]]; then upward; exit 0; fi

allowed=scripts/layering-exceptions.txt
now=$(upward)
listed=$(grep -v '^#' "$allowed" | sed '/^$/d' | sort -u)
new=$(comm -23 <(echo "$now" | sed '/^$/d') <(echo "$listed"))
gone=$(comm -13 <(echo "$now" | sed '/^$/d') <(echo "$listed"))
status=0
if [[ -n "$new" ]]; then
  echo "check-layers: includes that point up a layer (move the code down, or pass an interface down):" >&2
  echo "$new" | sed 's/^/  /' >&2
  status=1
fi
if [[ -n "$gone" ]]; then
  echo "check-layers: listed in $allowed but no longer there (take them out of the list):" >&2
  echo "$gone" | sed 's/^/  /' >&2
  status=1
fi
((status == 0)) && echo "check-layers: $(echo "$listed" | sed '/^$/d' | wc -l) upward includes left, none new"
exit $status

#!/usr/bin/env bash
# Includes between the folders of src/ point down only:
#   component (the exports and the host's API)
#   watcher   (local changes, reported through the engine's tasks and events)
#   callbacks (the platform's requests, carried in the engine's tasks)
#   engine    (tasks, cache, enumeration, lifecycle, retries, exclusion)
#   provider  (the placeholders, registration)
#   core      (what the engine knows and is set to: settings, flags, cache)
#   diag
#   platform
#   support
# A folder may include its own headers and those of folders below it; the
# check fails on any include that points up. A call that must go up goes
# through an interface the lower folder declares and the higher implements.
#
#   bash scripts/check-layers.sh           check
#   bash scripts/check-layers.sh --list    print today's upward includes
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    component) echo 8 ;; watcher) echo 7 ;; callbacks) echo 6 ;; engine) echo 5 ;; provider) echo 4 ;;
    core) echo 3 ;; diag) echo 2 ;; platform) echo 1 ;; support) echo 0 ;; *) echo -1 ;;
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

now=$(upward)
if [[ -n "$now" ]]; then
  echo "check-layers: includes that point up a layer (move the code down, or pass an interface down):" >&2
  echo "$now" | sed 's/^/  /' >&2
  exit 1
fi
echo "check-layers: no include points up a layer"

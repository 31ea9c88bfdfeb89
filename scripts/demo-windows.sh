#!/usr/bin/env bash
# The demo of scripts/demo.sh under Wine: corvane-mirror.exe over corvane.dll
# serves the server folder into a sync root of the stand-in cloud-files
# service (tests/standin/cldapi/cldapi.dll, in a fresh Wine prefix's
# system32), and the Windows corvane-client.exe plays the user. The same
# steps and checks as on Linux; the last line is "demo: N passed, N failed".
#
#   bash scripts/demo-windows.sh              build (scripts/build-windows.sh), then run
#   bash scripts/demo-windows.sh --no-build   run what build-windows/ holds
#   --keep                                    keep the temporary folders
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
pass=()
while (($#)); do
  case "$1" in
    --no-build) build=0; shift ;;
    --keep) pass+=(--keep); shift ;;
    *) echo "usage: bash scripts/demo-windows.sh [--no-build] [--keep]" >&2; exit 2 ;;
  esac
done

if ((build)); then
  bash scripts/build-windows.sh
  cmake --build build-windows -j2 --target corvane-mirror corvane-client cldapi_standin
fi
mirror_exe="$PWD/build-windows/tools/mirror/corvane-mirror.exe"
client_exe="$PWD/build-windows/tools/corvane-client/corvane-client.exe"
standin_dll="$PWD/build-windows/tests/standin/cldapi/cldapi.dll"
for f in "$mirror_exe" "$client_exe" "$standin_dll"; do
  [[ -f "$f" ]] || { echo "demo-windows: $f is not built" >&2; exit 1; }
done

export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/corvane-demo-wine.XXXXXX")
export WINEPREFIX
programs=$(mktemp -d "${TMPDIR:-/tmp}/corvane-demo-programs.XXXXXX")
# Ends this prefix's wine server (ours alone) and removes the prefix.
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX" "$programs"' EXIT
wineboot --init >/dev/null 2>&1 || true
wineserver -w
cp "$standin_dll" "$WINEPREFIX/drive_c/windows/system32/cldapi.dll"
# What the demo's CORVANE_REQUEST_TIMEOUT_MS is to the local platform.
export CLDAPI_STANDIN_TIMEOUT_MS=20000

# The programs as demo.sh runs them: Unix paths in (drive Z: is /), and the
# sync root that 'state' shows back in Unix form. exec keeps the process id,
# so demo.sh's Ctrl-C (SIGINT) reaches the Windows program.
wrapper() {  # wrapper NAME EXE
  cat >"$programs/$1" <<EOF
#!/usr/bin/env bash
set -o pipefail
args=()
for a in "\$@"; do
  [[ "\$a" == /* ]] && a="Z:\${a//\\//\\\\}"
  args+=("\$a")
done
if [[ "\${1:-}" == state ]]; then
  wine '$2' "\${args[@]}" | sed 's#^sync root: Z:\\\\#sync root: /#; /^sync root: / s#\\\\#/#g'
else
  exec wine '$2' "\${args[@]}"
fi
EOF
  chmod +x "$programs/$1"
}
wrapper corvane-mirror "$mirror_exe"
wrapper corvane-client "$client_exe"

# A pin is a file attribute on Windows, and the provider learns of it from
# the attribute change; Wine keeps neither attribute nor change.
bash scripts/demo.sh --programs "$programs" \
  --without-pin "Wine keeps no pinned or unpinned file attribute, so the provider never learns of a pin" "${pass[@]}"

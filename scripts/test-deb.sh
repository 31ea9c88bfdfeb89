#!/usr/bin/env bash
# Packs an existing build (default build/) into corvane_<version>_<arch>.deb
# with cpack, installs it with apt as a user would, checks that the programs
# and the development files it holds work from /usr, and removes it again.
# Needs root (apt). Keeps the package in the build folder.
#
#   bash scripts/test-deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls -t "$build"/corvane_*.deb | head -n 1)"
echo "deb: $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB"

if dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -q "install ok installed"; then
  echo "deb: a corvane package is installed already; not touching it" >&2
  exit 1
fi
trap 'apt-get purge -y -q -o DPkg::Lock::Timeout=120 corvane >/dev/null' EXIT
apt-get install -y -q -o DPkg::Lock::Timeout=120 "$deb" >/dev/null

# grep reads the whole output first: with pipefail, a grep -q that stops
# early would fail the step when the program gets SIGPIPE.
grep -q -- "--server DIR" <<<"$(/usr/bin/corvane-mirror --help)"
/usr/bin/corvane-client --version
/usr/bin/corvane-mirror --version
grep -q "libcorvane.so.26 => /" <<<"$(ldd /usr/bin/corvane-mirror)"
pkg-config --exists corvane
test -f "$(pkg-config --variable=libdir corvane)/cmake/corvane/corvaneConfig.cmake"
bash tests/consumer/run.sh /usr
echo "deb: installed, ran and removed"

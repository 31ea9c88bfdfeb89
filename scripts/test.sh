#!/usr/bin/env bash
# Sets up the machine, checks that includes point down the layers and that
# functions are declared where they are defined, builds
# everything and runs the test suite, then
# installs the build into a scratch prefix and builds and runs a small host
# against it the way another project would (tests/consumer); as root, also
# packs the build as a .deb, installs it with apt, tries it and removes it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
bash scripts/check-layers.sh
bash scripts/check-declarations.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 --timeout 600
prefix="$(mktemp -d "${TMPDIR:-/tmp}/corvane-prefix.XXXXXX")"
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix"
bash tests/consumer/run.sh "$prefix"
if [[ $(id -u) -eq 0 ]]; then
  bash scripts/test-deb.sh build
else
  echo "deb: not tried (apt needs root; run scripts/test-deb.sh as root)"
fi

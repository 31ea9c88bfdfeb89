#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the test suite, then
# installs the build into a scratch prefix and builds and runs a small host
# against it the way another project would (tests/consumer).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 --timeout 600
prefix="$(mktemp -d "${TMPDIR:-/tmp}/corvane-prefix.XXXXXX")"
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix"
bash tests/consumer/run.sh "$prefix"

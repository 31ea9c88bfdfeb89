#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
# A few end-to-end tests still depend on timing between the watcher and the
# engine's own placeholder work; one rerun keeps a slow machine from failing
# the run on them, and the log still shows the first failure.
ctest --test-dir build --output-on-failure -j2 --timeout 600 --repeat until-pass:2

#!/usr/bin/env bash
# ThreadSanitizer build of everything with clang and the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
build=build-tsan
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=thread
cmake --build "$build" -j2
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 900

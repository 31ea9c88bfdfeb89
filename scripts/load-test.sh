#!/usr/bin/env bash
# Load run of a whole host (Release, in build-bench): 64 applications reading
# different dehydrated files at once, 100,000-item listings of three folders
# at once, and 10,000 local changes from eight threads. Prints a table of
# throughput; exits non-zero when anything was lost, duplicated or late.
# Arguments go to the program, e.g. --items=20000 --limit=120 (see bench/load).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target bench_load
build-bench/bench/bench_load "$@"

#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them one after another; each prints
# its figures and its ratio against the baseline it measures in the same run.
# Usage: bash scripts/bench.sh [name ...]   (default: every benchmark)
# BENCH_RUNS=n runs each n times (the figures are noisy on a shared machine);
# TMPDIR picks the file system the benchmarks work in (e.g. /dev/shm).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=ON
cmake --build build-bench -j2
names=("$@")
if ((${#names[@]} == 0)); then
  # The load run has its own command (scripts/load-test.sh).
  for exe in build-bench/bench/bench_*; do
    name=$(basename "$exe" | sed 's/^bench_//')
    [[ $name == load ]] || names+=("$name")
  done
fi
runs=${BENCH_RUNS:-1}
for name in "${names[@]}"; do
  for ((run = 1; run <= runs; run++)); do
    echo "== $name (run $run of $runs)"
    "build-bench/bench/bench_$name"
  done
done

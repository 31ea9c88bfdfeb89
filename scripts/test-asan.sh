#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build of everything with clang,
# the whole test suite, then a short run of every fuzz target.
# FUZZ_SECONDS sets the length of each fuzz run (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
build=build-asan
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_SANITIZE=address -DCORVANE_BUILD_FUZZ=ON
cmake --build "$build" -j2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j2 --timeout 900

# New inputs go to a scratch folder; the kept corpus is only read. To keep what
# a run found, merge it: fuzz_<t> -merge=1 fuzz/<t>/corpus <scratch>.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for program in "$build"/fuzz/fuzz_*; do
  name=${program##*/fuzz_}
  mkdir -p "$scratch/$name"
  if "$program" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 -artifact_prefix="$build/fuzz/$name-" \
      "$scratch/$name" "fuzz/$name/corpus" >"$scratch/$name.log" 2>&1; then
    echo "fuzz $name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$name.log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz $name: FAILED"
    tail -n 80 "$scratch/$name.log"
    status=1
  fi
done
exit $status

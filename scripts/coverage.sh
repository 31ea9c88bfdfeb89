#!/usr/bin/env bash
# Line coverage of src/ under the test suite: a gcc build with --coverage at
# -O0 in its own folder (build-coverage), every test run with CTest, then
# gcovr's summary. Not part of CI's run. Extra arguments go to ctest (e.g.
# -R test_engine to measure one program).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-coverage
# Atomic counters: many tests run library threads side by side.
flags="--coverage -O0 -fprofile-update=atomic"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage
cmake --build "$dir" -j2
# Counts from an earlier run would add to this one's.
find "$dir" -name '*.gcda' -delete
ctest --test-dir "$dir" -j2 --timeout 600 "$@" || echo "coverage: some tests failed (counted anyway)"
gcovr --root . --filter 'src/' --object-directory "$dir" --gcov-ignore-parse-errors --print-summary \
  --txt "$dir/coverage.txt" "$dir"

#!/usr/bin/env bash
# Long randomized sync run (Release, in build-random): fresh random seeds until
# the time is up, each seed printed; stops at the first failing seed with its
# step log. Arguments: --seconds N (default 600), --seed N (replays one seed),
# and any other option of test_random_sync (--ops N, --faults F,...).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build-random -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-random -j2 --target test_random_sync
args=("$@")
if [[ " $* " != *" --seconds "* && " $* " != *" --seed "* ]]; then args+=(--seconds 600); fi
exec build-random/tests/random_sync/test_random_sync "${args[@]}"

#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs each on tmpfs and on the disk; each
# alternates library and baseline rounds and reports the median ratio. Ends
# with one summary table (what, library, baseline, ratio, floor, pass/fail),
# the memory figures and the machine's load.
# Usage: bash scripts/bench.sh [name ...]   (default: every benchmark; names
# are the folders under bench/, e.g. hydration listing_population cloudfs micro)
# BENCH_ROUNDS=n sets the rounds (default 6, even: each side goes first as often); BENCH_FS="dir ..." the folders
# whose file systems are used (default: /dev/shm and /var/tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=ON "${launcher[@]}" >/dev/null
nice cmake --build build-bench -j2
names=("$@")
if ((${#names[@]} == 0)); then
  # The load run has its own command (scripts/load-test.sh).
  for exe in build-bench/bench/bench_*; do
    name=$(basename "$exe" | sed 's/^bench_//')
    [[ $name == load ]] || names+=("$name")
  done
fi
read -r -a filesystems <<<"${BENCH_FS:-/dev/shm /var/tmp}"
results=$(mktemp)
trap 'rm -f "$results"' EXIT
status=0

# Google Benchmark's CSV (CPU time) turned into summary rows: each exported
# call against the plain call through a pointer (once, they touch no file),
# the stamp as the difference it makes on each file system.
micro_rows() {
  awk -F, -v fs="$1" -v calls_too="$2" '
    /^"?BM_/ { gsub(/"/, "", $1); t[$1] = $4 }
    END {
      base = t["BM_BaselineCallThroughPointer"]
      n = split("BM_GetProperty/Int BM_SetProperty/Int BM_GetProperty/String BM_SetProperty/String BM_DoConfigQuery", calls, " ")
      for (i = 1; i <= n; ++i) if (calls_too && calls[i] in t)
        printf "MICRO|%s|%.1f ns|%.1f ns|%.3f|-|-\n", calls[i], t[calls[i]], base, base / t[calls[i]]
      if ("BM_StoreRangesWithStamp" in t)
        printf "MICRO|range store (%s): stamp adds %.0f ns|%.0f ns|%.0f ns|%.2f|-|-\n", fs,
               t["BM_StoreRangesWithStamp"] - t["BM_StoreRangesWithoutStamp"], t["BM_StoreRangesWithStamp"],
               t["BM_StoreRangesWithoutStamp"], t["BM_StoreRangesWithoutStamp"] / t["BM_StoreRangesWithStamp"]
      if ("BM_WriteStateWithChangeNumber" in t)
        printf "MICRO|write state (%s): change number adds %.0f ns|%.0f ns|%.0f ns|%.2f|-|-\n", fs,
               t["BM_WriteStateWithChangeNumber"] - t["BM_StoreRangesWithStamp"], t["BM_WriteStateWithChangeNumber"],
               t["BM_StoreRangesWithStamp"], t["BM_StoreRangesWithStamp"] / t["BM_WriteStateWithChangeNumber"]
      if ("BM_ListedFileWithStamp" in t)
        printf "MICRO|listed file (%s): stamp adds %.0f ns|%.0f ns|%.0f ns|%.2f|-|-\n", fs,
               t["BM_ListedFileWithStamp"] - t["BM_ListedFileWithoutStamp"], t["BM_ListedFileWithStamp"],
               t["BM_ListedFileWithoutStamp"], t["BM_ListedFileWithoutStamp"] / t["BM_ListedFileWithStamp"]
    }'
}

for name in "${names[@]}"; do
  for fs in "${filesystems[@]}"; do
    [[ $name == memory && $fs != "${filesystems[0]}" ]] && continue  # no files involved
    echo "== $name on $fs ($(df --output=fstype "$fs" | tail -1 | tr -d ' ')), load $(cut -d' ' -f1-3 /proc/loadavg)"
    log=$(mktemp)
    if [[ $name == micro ]]; then
      TMPDIR=$fs "build-bench/bench/bench_$name" --benchmark_format=console --benchmark_out="$log" \
        --benchmark_out_format=csv || status=1
      micro_rows "$fs" "$([[ $fs == "${filesystems[0]}" ]] && echo 1)" <"$log" >>"$results"
    else
      TMPDIR=$fs "build-bench/bench/bench_$name" | tee "$log" || status=1
      grep -E '^(RESULT|MEMORY)\|' "$log" >>"$results" || true
    fi
    rm -f "$log"
  done
done

echo
echo "== summary (load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
printf '%-62s %-22s %-22s %7s %6s %s\n' what library baseline ratio floor result
while IFS='|' read -r kind what library baseline ratio floor result; do
  [[ $kind == RESULT || $kind == MICRO ]] || continue
  printf '%-62s %-22s %-22s %7s %6s %s\n' "$what" "$library" "$baseline" "$ratio" "$floor" "$result"
  [[ $result == FAIL ]] && status=1
done <"$results"
echo
echo "== memory"
while IFS='|' read -r kind what value; do
  [[ $kind == MEMORY ]] && printf '%-62s %s\n' "$what" "$value"
done <"$results"
exit $status

#!/usr/bin/env bash
# Builds tests/consumer/host.c against an installed Corvane twice, as other
# projects would: with CMake's find_package and with pkg-config. Each build
# runs once on a scratch sync root with its own state folder.
#
#   bash tests/consumer/run.sh PREFIX     (after: cmake --install build --prefix PREFIX)
set -euo pipefail
prefix="$(cd "${1:?usage: tests/consumer/run.sh PREFIX}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/corvane-consumer.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The copy makes sure nothing of the source tree is in reach of the builds.
mkdir -p "$work/src"
cp "$here/CMakeLists.txt" "$here/host.c" "$work/src/"

run_host() {  # run_host NAME PROGRAM
  mkdir -p "$work/$1-root" "$work/$1-state"
  CORVANE_STATE_DIR="$work/$1-state" "$2" "$work/$1-root"
  echo "consumer: $1 build ran"
}

echo "consumer: find_package(corvane) from $prefix"
cmake -S "$work/src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
run_host cmake "$work/cmake-build/consumer_host"

echo "consumer: pkg-config corvane from $prefix"
pc_dir=""
for candidate in "$prefix"/lib*/pkgconfig "$prefix"/lib/*/pkgconfig; do
  [[ -f "$candidate/corvane.pc" ]] && { pc_dir="$candidate"; break; }
done
[[ -n "$pc_dir" ]] || { echo "consumer: no corvane.pc under $prefix/lib" >&2; exit 1; }
export PKG_CONFIG_PATH="$pc_dir"
version="$(pkg-config --modversion corvane)"
header_version="$(sed -n 's/^#define HALVEX_CORVANE_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
  "$prefix/include/halvex/corvane.h" | paste -sd.)"
[[ "$version" == "$header_version" ]] || { echo "consumer: corvane.pc says $version, the header $header_version" >&2; exit 1; }
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/pc-host" "$work/src/host.c" \
  $(pkg-config --cflags corvane) $(pkg-config --libs corvane) -pthread \
  -Wl,-rpath,"$(pkg-config --variable=libdir corvane)"
run_host pkg-config "$work/pc-host"
echo "consumer: both builds passed"

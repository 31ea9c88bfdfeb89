#!/usr/bin/env bash
# Installs what the builds (Linux and Windows), the tests and the demo need
# on a fresh Debian 12 machine. Run as root (CI does); skips apt when everything is present.
set -euo pipefail
# The mingw-w64 cross compiler and wine build and run the Windows test programs;
# clang and its runtimes build the sanitizer and fuzz programs.
# libcli11-dev is the tools' argument parser (headers only); dpkg-dev and file
# let cpack work out the Debian package's dependencies.
# libbenchmark-dev builds the micro-benchmarks (scripts/bench.sh).
# fuse3 and libfuse3-dev build and run the cloud-files mount (corvane-cloudfs).
# universal-ctags lists declarations and definitions (scripts/check-declarations.sh).
# gcovr reports line coverage (scripts/coverage.sh).
packages=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev libcli11-dev
          dpkg-dev file g++-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev libbenchmark-dev
          fuse3 libfuse3-dev universal-ctags gcovr)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

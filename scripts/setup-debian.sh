#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian 12
# machine. Run as root (CI does); skips apt when everything is present.
set -euo pipefail
packages=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages that are missing, then configures and builds build/hlg.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libzstd-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
fi

# Warnings are errors only where HLG_WERROR=ON is set, as CI sets it.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DHLG_WERROR="${HLG_WERROR:-OFF}"
cmake --build build -j "$(nproc)"

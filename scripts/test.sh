#!/usr/bin/env bash
# Builds (when needed) and runs the whole test suite. Optional argument: the build folder.
# Warnings are errors only where HLG_WERROR=ON is set, as CI sets it; set, it also applies
# to a folder configured before.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DHLG_WERROR="${HLG_WERROR:-OFF}"
elif [ -n "${HLG_WERROR:-}" ]; then
  cmake -S . -B "$dir" -DHLG_WERROR="$HLG_WERROR" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"

#!/usr/bin/env bash
# Builds both builds (host in every configuration, windows driver) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
presets=(host asan tsan windows)
[ $# -gt 0 ] && presets=("$@")
for p in "${presets[@]}"; do
    echo "=== $p ==="
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p" -j "$jobs"
    ctest --preset "$p" -j "$jobs"
done

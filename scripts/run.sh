#!/usr/bin/env bash
# Builds the host tool and runs the main job on the simulated card.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "$(nproc)" --target quadhdmi
exec build/host-release/tools/quadhdmi "${@:-start}"

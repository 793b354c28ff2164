#!/usr/bin/env bash
# Builds the host tool and runs the main job: a few seconds of video and audio captured from
# input 0 of the simulated card, written to out/. Any arguments replace the default job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "$(nproc)" --target quadhdmi
if [ $# -gt 0 ]; then
    exec build/host-release/tools/quadhdmi "$@"
fi
mkdir -p out
exec build/host-release/tools/quadhdmi capture -i 0 --seconds 3 \
    --video out/input0.y4m --audio out/input0.wav --snapshot out/input0.png

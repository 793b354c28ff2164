#!/usr/bin/env bash
# Builds both builds (the host build in its debug, address/undefined and thread sanitizer
# configurations, the libFuzzer harnesses with clang, and the windows driver image) and runs
# every test (the fuzz configuration: each harness for a bounded time). Every configuration runs
# even after one fails, so one run shows everything; the exit status is non-zero if any failed.
# Without arguments it also runs the main job (scripts/run.sh) last.
# The host configuration's "image" tests load the windows build's quadhdmi.sys in place of the
# host-compiled driver; they run last, once both the host and the windows build are there.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1
jobs=$(nproc)
presets=(host asan tsan fuzz windows)
[ $# -gt 0 ] && presets=("$@")
failed=()
for p in "${presets[@]}"; do
    echo "=== $p ==="
    if cmake --preset "$p" >/dev/null && cmake --build --preset "$p" -j "$jobs" && ctest --preset "$p" -j "$jobs" -LE image; then
        echo "=== $p: passed ==="
    else
        echo "=== $p: FAILED ==="
        failed+=("$p")
    fi
done
if [[ " ${presets[*]} " == *" host "* && " ${presets[*]} " == *" windows "* ]]; then
    echo "=== image (host tests against build/windows/windows/quadhdmi.sys) ==="
    if ctest --preset host -j "$jobs" -L image; then
        echo "=== image: passed ==="
    else
        echo "=== image: FAILED ==="
        failed+=(image)
    fi
fi
# The README's first command: the main job, built as scripts/run.sh builds it (optimised, where
# the compiler warns about other things than in the debug build).
if [ $# -eq 0 ]; then
    echo "=== main job (scripts/run.sh) ==="
    if scripts/run.sh; then
        echo "=== main job: passed ==="
    else
        echo "=== main job: FAILED ==="
        failed+=(main-job)
    fi
fi
if ((${#failed[@]})); then
    echo "failed configurations: ${failed[*]}"
    exit 1
fi
echo "all configurations passed: ${presets[*]}"

#!/usr/bin/env bash
# The long hostile-client campaign: stress walks over ten seeds (10,000 steps each) under the
# address and undefined-behaviour sanitizers; the capture campaign (100 surprise removals during
# four-input capture and 400 random source-mode changes on a card paced in real time, every frame
# and audio buffer checked); then every libFuzzer harness for MINUTES minutes (default 30) from a
# scratch copy of its corpus. Prints each tool's figures; exits non-zero on the first failure (the
# stress walk and the capture campaign print their seed, libFuzzer the crashing input).
#   scripts/campaign.sh [MINUTES] [SEEDS] [STEPS]
#   scripts/campaign.sh capture [SEED]     the capture campaign alone (a drawn seed unless given)
#   scripts/campaign.sh schedules [COUNT] [KIND] [FIRST] [FILTER]
#       the controlled-schedule scenarios alone: COUNT schedules each (default 1000), KIND pct:DEPTH
#       or random, either with :DELAYS preemptions per schedule (default pct:3:50, as CI), seeds from FIRST (default 1), the scenarios matching FILTER (a
#       GoogleTest filter, default all). A failure prints its schedule and how to replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

# The capture campaign runs in the address-sanitizer build, as the walks do: its schedule is the
# seed's, what the real-time run makes of it is the machine's, and only counts decide.
capture_campaign() {
    cmake --preset asan >/dev/null && cmake --build --preset asan --target campaign
    build/asan/tools/campaign --removals 100 --mode-changes 400 ${1:+--seed "$1"}
}

# The scenarios run in the plain debug build: a schedule's interleaving is its strategy's alone, so
# the sanitizer builds add no schedules, only time per schedule.
schedule_campaign() {
    cmake --preset host >/dev/null && cmake --build --preset host --target test_sched
    QH_SCHEDULES="${1:-1000}" QH_SCHEDULE_KIND="${2:-pct:3:50}" QH_SCHEDULE_FIRST="${3:-1}" \
        build/host/tests/test_sched --gtest_filter="${4:-ScheduleScenario.*}"
}

if [ "${1:-}" = schedules ]; then
    schedule_campaign "${2:-}" "${3:-}" "${4:-}" "${5:-}"
    exit 0
fi

if [ "${1:-}" = capture ]; then
    capture_campaign "${2:-}"
    exit 0
fi

minutes=${1:-30}
seeds=${2:-10}
steps=${3:-10000}
cmake --preset asan >/dev/null && cmake --build --preset asan --target stress
build/asan/tools/stress --seed 1 --seeds "$seeds" --steps "$steps"
capture_campaign
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz
work=$(mktemp -d)
for harness in build/fuzz/tools/fuzz/fuzz_*; do
    [ -x "$harness" ] || continue
    name=$(basename "$harness")
    cp -r "tools/fuzz/corpus/$name" "$work/$name"
    echo "=== $name for $minutes min (log: $work/$name.log) ==="
    if ! "$harness" -max_total_time=$((minutes * 60)) -print_final_stats=1 "$work/$name" >"$work/$name.log" 2>&1; then
        tail -40 "$work/$name.log"
        echo "$name failed; the crashing input is in $PWD"
        exit 1
    fi
    grep -E "^(#[0-9]+ +DONE|stat::)" "$work/$name.log"
done
echo "campaign passed; logs and grown corpora in $work"

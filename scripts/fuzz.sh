#!/usr/bin/env bash
# Runs the libFuzzer targets side by side, each for the given number of seconds (default 20),
# starting from a copy of its checked-in corpus, and prints the executions per
# target and in total. New crashes are left in build/fuzz/crashes/<target>;
# copy a fixed one into fuzz/crashes/<target>/ so the ordinary test run
# replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
targets=(fuzz_receive fuzz_decoders fuzz_console fuzz_trace fuzz_scenario fuzz_job)
cmake --build --preset fuzz -j"${QUILLON_JOBS:-2}" --target "${targets[@]}"
# The targets run side by side for the same bounded time, each on its own
# copy of its corpus, so that the layer takes the given seconds, not their sum.
fuzz_one() { # fuzz_one TARGET: a bounded run; its log and crashes under build/fuzz
    local target=$1 work=build/fuzz/run/$1 crashes=$PWD/build/fuzz/crashes/$1
    rm -rf "$work"
    mkdir -p "$work/corpus" "$crashes"
    cp fuzz/corpus/$target/* "$work/corpus/"
    # The corpus is named by its full path: a target's set-up may change folder.
    (cd "$work" && "$OLDPWD/build/fuzz/bin/$target" "$PWD/corpus" -max_total_time="$seconds" \
        -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
        </dev/null >"$PWD/../$target.log" 2>&1)
}
declare -A runner
for target in "${targets[@]}"; do
    fuzz_one "$target" &
    runner[$target]=$!
done
total=0
status=0
for target in "${targets[@]}"; do
    log=$PWD/build/fuzz/run/$target.log
    if ! wait "${runner[$target]}"; then
        echo "$target: FAILED, see $log and $PWD/build/fuzz/crashes/$target"
        grep -E "ERROR|SUMMARY" "$log" | head -5 || true
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    runs=${runs:-0}
    total=$((total + runs))
    echo "$target: $runs executions in ${seconds}s"
done
echo "fuzzing: $total executions in all"
exit $status

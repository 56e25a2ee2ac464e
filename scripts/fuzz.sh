#!/usr/bin/env bash
# Runs each libFuzzer target for the given number of seconds (default 20),
# starting from a copy of its checked-in corpus, and prints the executions per
# target and in total. New crashes are left in build/fuzz/crashes/<target>;
# copy a fixed one into fuzz/crashes/<target>/ so the ordinary test run
# replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"${QUILLON_JOBS:-2}" --target fuzz_receive fuzz_decoders fuzz_console fuzz_trace fuzz_scenario
total=0
status=0
for target in fuzz_receive fuzz_decoders fuzz_console fuzz_trace fuzz_scenario; do
    work=build/fuzz/run/$target
    crashes=$PWD/build/fuzz/crashes/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$crashes"
    cp fuzz/corpus/$target/* "$work/corpus/"
    log=$PWD/build/fuzz/run/$target.log
    # The corpus is named by its full path: a target's set-up may change folder.
    if ! (cd "$work" && "$OLDPWD/build/fuzz/bin/$target" "$PWD/corpus" -max_total_time="$seconds" \
            -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
            </dev/null >"$log" 2>&1); then
        echo "$target: FAILED, see $log and $crashes"
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

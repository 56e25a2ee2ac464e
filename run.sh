#!/usr/bin/env bash
# Builds quillon-sim and starts it on a virtual instrument:
#   ./run.sh          the built-in instrument (an LX7 sonde behind a communications module)
#   ./run.sh NAME     the ready-made scenario sim/scenarios/NAME.json
# An unknown NAME lists the ready-made scenarios. DUCTRA_SIM_SCENARIO set by
# hand (a scenario file of your own) is used when no NAME is given.
# The program runs in build/run, whose "firmware" folder holds the demo
# images of sim/firmware for the 'dl' command.
set -euo pipefail
cd "$(dirname "$0")"

list_scenarios() {
    local file name
    for file in sim/scenarios/*.json; do
        name=$(basename "$file" .json)
        printf '  %-18s %s\n' "$name" "$(sed -n 's/^ *"description": "\(.*\)",\{0,1\}$/\1/p' "$file")"
    done
}

if [ $# -gt 1 ]; then
    echo "usage: ./run.sh [NAME]" >&2
    exit 2
fi
if [ $# -eq 1 ]; then
    scenario="sim/scenarios/$1.json"
    case $1 in */* | .*) scenario=/nonexistent ;; esac
    if [ ! -f "$scenario" ]; then
        echo "No ready-made scenario named \"$1\". Available:" >&2
        list_scenarios >&2
        exit 2
    fi
    export DUCTRA_SIM_SCENARIO="$PWD/$scenario"
fi

. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target quillon-sim -j2
mkdir -p build/run/firmware
cp sim/firmware/*.bin build/run/firmware/
cd build/run
exec ../linux/bin/quillon-sim

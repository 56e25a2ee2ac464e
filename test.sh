#!/usr/bin/env bash
# Builds and runs every test layer: Linux unit and end-to-end tests, the same
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the Windows build
# (mingw-w64) with its tests under wine; a short bounded run of each libFuzzer
# target; the packages made from the linux and windows builds.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
ensure_packages "${TEST_PACKAGES[@]}"

jobs=${QUILLON_JOBS:-2}
# The sessions spend most of their time waiting as the instrument's timing
# asks (resets, latencies, time-outs), not computing: more of them side by
# side than there are cores keeps the cores busy.
test_jobs=${QUILLON_TEST_JOBS:-8}
# A wine prefix of our own, made once before the Windows tests run in parallel.
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/quillon-wine-$(id -u)}"
cmake/wine-run.sh cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

status=0
# Each layer says how long it took, so that the whole stays within CI's budget.
took() { echo "--- $1: $((SECONDS - started)) s"; started=$SECONDS; }
started=$SECONDS
echo "=== include direction ==="
scripts/check_includes.sh || status=1
# A preset's tests run in the background, beside the next preset's build:
# the sessions mostly wait on the instrument's timing, so the build has the
# cores. Their output is shown whole once they end.
background_tests() { # background_tests PRESET: starts its ctest; the log is build/PRESET.ctest.log
    ctest --preset "$1" -j"$test_jobs" </dev/null >"build/$1.ctest.log" 2>&1 &
    tests_pid=$!
    tests_preset=$1
}
finish_tests() { # waits for the background ctest, prints its log, records a failure
    local rc=0
    wait "$tests_pid" || rc=$?
    echo "=== $tests_preset tests ==="
    cat "build/$tests_preset.ctest.log"
    [ "$rc" -eq 0 ] || status=1
    took "$tests_preset tests (the rest, after the next build)"
}
mkdir -p build
tests_pid=
for preset in linux asan windows; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs" || status=1
    took "$preset build"
    if [ -n "$tests_pid" ]; then finish_tests; fi
    background_tests "$preset"
done
# The fuzz layer (its own clang build, then a bounded run) beside the Windows
# tests; the packages after them, as both use the one wine prefix.
echo "=== fuzz (short bounded run) ==="
scripts/fuzz.sh "${QUILLON_FUZZ_SECONDS:-10}" || status=1
took fuzz
finish_tests
echo "=== packages ==="
scripts/package_test.sh || status=1
took packages
echo "--- all layers: $SECONDS s"
exit $status

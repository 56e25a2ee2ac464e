#!/usr/bin/env bash
# Builds and runs every test layer: Linux unit and end-to-end tests, the same
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the Windows build
# (mingw-w64) with its tests under wine; the packages made from the linux and
# windows builds; then a short bounded run of each libFuzzer target.
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
for preset in linux asan windows; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    took "$preset build"
    ctest --preset "$preset" -j"$test_jobs" </dev/null || status=1
    took "$preset tests"
done
echo "=== packages ==="
scripts/package_test.sh || status=1
took packages
echo "=== fuzz (short bounded run) ==="
scripts/fuzz.sh "${QUILLON_FUZZ_SECONDS:-10}" || status=1
took fuzz
echo "--- all layers: $SECONDS s"
exit $status

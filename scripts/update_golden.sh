#!/usr/bin/env bash
# Rewrites the golden files from the `linux` build (build/linux): each
# session's NAME.out and NAME.wire, quillon-trace's reports of its trace
# (NAME.read, NAME.changes), the screen of a replay that goes another way
# (NAME.replay.out), and the reports of the hand-made traces in
# tests/golden/traces/. Builds e2e_tests, quillon-sim and quillon-trace, runs
# the golden sessions and traces, copies each file whose text differed from
# build/linux/tests/e2e/golden-new/ over the one in tests/golden/, and runs
# them once more, which must now pass. A replay whose screen differs from
# the recorded session's NAME.out is a fault, never an update: it is written
# to build/linux/tests/e2e/golden-replayed/ and nothing is copied from there.
#
# Run it only after a deliberate change of what the program prints or sends
# (or after adding a session to the table in tests/e2e/golden_sessions_test.cpp),
# then read every changed line of `git diff tests/golden` in review like code:
# the golden files are the expected output, and a line accepted here is a
# line the tests will demand from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
new=build/linux/tests/e2e/golden-new
replayed=build/linux/tests/e2e/golden-replayed
log=build/linux/tests/e2e/golden-update.log

run_sessions() {
    build/linux/bin/e2e_tests --gtest_filter='Sessions/Golden.*:GoldenTraces.*' </dev/null >"$log" 2>&1
}
show_failures() {
    grep -E '^\[  FAILED  \] .*GetParam|Failure$|differs first|expected:|got:|Expected|Which is' \
        "$log" || true
    echo "See $log" >&2
}

cmake --preset linux >/dev/null 2>&1 || cmake --preset linux
cmake --build --preset linux -j"${QUILLON_JOBS:-2}" --target e2e_tests quillon-sim quillon-trace
rm -rf "$new" "$replayed"
status=0
run_sessions || status=$?
# A session that timed out, ended with another exit code or wrote to standard
# error is not written into the golden files.
if grep -qE '^(Expected equality of these values:|Value of: )' "$log"; then
    show_failures
    echo "A golden session ended abnormally: nothing updated." >&2
    exit 1
fi
if [ -d "$replayed" ]; then
    show_failures
    echo "A replay differs from its recorded session: nothing updated." >&2
    exit 1
fi
if [ ! -d "$new" ]; then
    if [ $status -ne 0 ]; then
        show_failures
        echo "The golden sessions fail, but not on their files: nothing updated." >&2
        exit 1
    fi
    echo "The golden files match the build: nothing to update."
    exit 0
fi
cp -r "$new"/. tests/golden/
echo "Updated from $new:"
(cd "$new" && find . -type f | sort)
if ! run_sessions; then
    show_failures
    echo "The golden sessions still fail after the update." >&2
    exit 1
fi
echo "Now read every changed line: git diff tests/golden"

#!/usr/bin/env bash
# The history at scale: N results (N/5 instruments, five runs each, spread
# over 60 days) imported into SQLite and, with a PostgreSQL URI given, into
# that database; prints the import rate, the database's size, and the time
# of `show` of one instrument and of `yield --by day` over 30 days (each a
# whole process, start-up included), each with its CPU time, since a
# machine shared with other work stretches the wall-clock times. Each
# question is asked right after the import and again once the database has
# settled: PostgreSQL's autovacuum works through the new rows for a minute
# after a million of them, beside the first questions, so the bench runs
# that VACUUM ANALYZE itself before asking again.
# Usage: bench/history_bench.sh HISTORY_PROGRAM [N] [POSTGRESQL_URI]
set -euo pipefail
program=$1 n=${2:-1000000} pg=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$n" >"$work/results.jsonl" <<'PY'
import json, sys
n = int(sys.argv[1])
for i in range(n):
    unit, run = divmod(i, 5)
    day, second = divmod(unit * 13 + run * 2, 86400 // 4)
    t = "2026-%02d-%02dT%02d:%02d:%02dZ" % (10 + (day % 60) // 30, 1 + (day % 60) % 30,
                                          second // 3600 % 24, second // 60 % 60, second % 60)
    done = run > 0 or unit % 7 != 0
    serial = "SN%07d" % unit
    print(json.dumps({"format": 2, "run_id": "00000000-0000-4000-8000-%012d" % i,
        "station": {"host": "h", "program": "quillon-station", "version": "1.1.0",
                    "name": "bench-%d" % (unit % 8), "operator": "op"},
        "job": {"path": "jobs/j%d.json" % (unit % 4), "sha256": "0" * 64}, "started": t, "ended": t,
        "outcome": "done" if done else "verify failure", "exit_code": 0 if done else 6,
        "instrument": {"serial_number": serial, "model": "LX7 sonde",
                       "boards": [{"address": 0, "family": 202, "model": 2, "type": "LX7 sonde", "code_version": "1.5",
                                   "serial_number": serial}]},
        "operations": [{"op": "serial", "device": "sonde", "board": 0, "outcome": "done",
                        "duration_ms": 120,
                        "changes": [{"change": "serial number \"%s\"" % serial, "field": "serial_number",
                                     "value": serial, "verdict": "accepted"}]}]}))
PY
# Each command's wall-clock time and its process's CPU time (user and
# system, all threads; for PostgreSQL the server's own work is not in it),
# as "WALL CPU" in seconds: perf's task clock where perf is installed, else
# GNU time's (to 10 ms).
timed() {
    if command -v perf >/dev/null; then
        perf stat -x, -e task-clock,duration_time -o "$work/time" "$program" "$@" >/dev/null
        awk -F, '$3 == "task-clock" { cpu = $1 / 1000 } $3 == "duration_time" { wall = $1 / 1e9 }
                 END { printf "%s %s", wall, cpu }' "$work/time"
    else
        /usr/bin/time -f "%e %U %S" -o "$work/time" "$program" "$@" >/dev/null
        awk '{ printf "%s %s", $1, $2 + $3 }' "$work/time"
    fi
}
measure() { # measure ENGINE URL SIZE-COMMAND [SETTLE-COMMAND]
    local import show yield settled_show settled_yield
    import=$(timed --database "$2" import "$work/results.jsonl")
    show=$(timed --database "$2" show SN0000042)
    yield=$(timed --database "$2" yield --since 2026-10-01 --until 2026-10-30 --by day)
    [ -z "${4:-}" ] || eval "$4"
    settled_show=$(timed --database "$2" show SN0000043)
    settled_yield=$(timed --database "$2" yield --since 2026-10-01 --until 2026-10-30 --by day)
    printf '| %s | %d | %s | %s | %s | %s | %s | %s |\n' "$1" "$n" \
        "$(echo "$import" | awk -v n="$n" '{ printf "%.0f /s (%.0f /s of CPU)", n / $1, n / $2 }')" \
        "$(eval "$3")" "$(ms "$show")" "$(ms "$settled_show")" "$(ms "$yield")" "$(ms "$settled_yield")"
}
ms() { echo "$1" | awk '{ printf "%.0f ms (%.0f ms CPU)", $1 * 1000, $2 * 1000 }'; }
echo "| engine | results | import | database | show | show, settled | yield --by day, 30 days | yield, settled |"
echo "|---|---|---|---|---|---|---|---|"
measure sqlite "sqlite:$work/h.sqlite" "du -ch $work/h.sqlite* | tail -1 | cut -f1"
if [ -n "$pg" ]; then
    measure postgresql "$pg" "psql '$pg' -qAtc 'SELECT pg_size_pretty(pg_database_size(current_database()))'" \
        "psql '$pg' -qc 'VACUUM ANALYZE'"
fi

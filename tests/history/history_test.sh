#!/usr/bin/env bash
# The history over a small fixed history (the files beside this script), on
# one engine: every command and its whole output and exit code go into one
# transcript, compared byte for byte with tests/golden/history/NAME.txt, the
# same file for both engines. A transcript that differs is written to
# OUT/NAME.txt and its difference shown.
# Each --json answer is followed by its check against its schema
# (history/*.schema.json) by JSON_CHECK.
# Usage: history_test.sh sqlite|postgresql HISTORY_PROGRAM NAME OUT JSON_CHECK [PG_SOCKET_DIR]
set -uo pipefail
engine=$1 program=$2 name=$3 out=$4 check=$5 pgdir=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
golden=$here/../golden/history/$name.txt
schemas=$here/../../history
work=$(mktemp -d)
own=""      # the watch case's own PostgreSQL server, which it stops and starts
watcher=""  # the watch case's quillon-history watch
cleanup() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ -n "$own" ] && (cd / && "$here/postgres_server.sh" stop "$own")
    rm -rf "$work"
}
trap cleanup EXIT
export TZ=CET-1CEST,M3.5.0,M10.5.0/3
if [ "$engine" = sqlite ]; then
    url=sqlite:$work/history.sqlite
    sql() { sqlite3 "$work/history.sqlite" "$1"; }
else
    db=h_${name//-/_}_$$
    pg="host=$pgdir port=5499 user=quillon"
    psql "$pg dbname=postgres" -qc "CREATE DATABASE $db" >/dev/null || exit 1
    url="postgresql:///$db?host=$pgdir&port=5499&user=quillon"
    sql() { psql "$pg dbname=$db" -qAtc "$1"; }
fi
cp "$here"/*.jsonl "$here"/*.trace "$work"/
cd "$work"
# Runs the history as the transcript shows it: "$ ARGS", the output, then
# standard error and the exit code when there is either.
run() { run_on "$url" "$@"; }
run_on() {
    local on=$1
    shift
    echo "\$ quillon-history $*"
    "$program" --database "$on" "$@" >stdout 2>stderr
    local code=$?
    cat stdout
    if [ -s stderr ] || [ $code -ne 0 ]; then
        echo "== exit $code, standard error:"
        cat stderr
    fi
}
# Waits (a minute at most) until FILE holds N lines (1 unless given) with TEXT;
# says so in the transcript when they never come.
wait_for() {
    local file=$1 text=$2 n=${3:-1} i
    for ((i = 0; i < 600; i++)); do
        # (the file may not be made yet: the watcher's redirection is its own)
        [ "$(grep -cF -- "$text" "$file" 2>/dev/null || true)" -ge "$n" ] 2>/dev/null && return 0
        sleep 0.1
    done
    echo "(no $n \"$text\" in $file after a minute)"
    return 1
}
# The last answer against a schema: "$ (NAME)", then the check's verdict.
conforms() {
    echo "\$ ($1)"
    "$check" "$schemas/$1" <stdout
}
case $name in
fixed)
    # The later runs first: an instrument's first run can arrive after its last.
    run import station_later.jsonl service_session.trace station_bench2.jsonl
    run show 23K100017
    run show 22A104410
    run show --json 23K100017
    conforms show.schema.json
    run yield --by type
    run yield --json --by type
    conforms yield.schema.json
    run yield --since 2026-12-02 --by day
    run yield --until 2026-12-02 --by station
    run report --html report.html
    sed -n '/<p id="totals">/p;/<table id="\(failures\|instruments\)">/,/<\/table>/p' report.html
    ;;
again)
    # A row the database refuses, in the file's last record, leaves nothing
    # of the file behind.
    echo "\$ (an operation \"list\" stored before, and no second allowed)"
    "$program" --database "$url" yield >/dev/null  # makes the tables
    sql "INSERT INTO runs (run_key, kind, source, source_line) VALUES ('x', 'station', 'x', 0);
         INSERT INTO operations (run_key, seq, op) VALUES ('x', 1, 'list');
         CREATE UNIQUE INDEX one_list ON operations (op) WHERE op = 'list'"
    run import station_bench2.jsonl | sed -E "s/(nothing imported: ).*/\1(the database's words)/"
    sql "DROP INDEX one_list; DELETE FROM operations WHERE run_key = 'x'; DELETE FROM runs WHERE run_key = 'x'"
    run import station_bench2.jsonl
    run import station_bench2.jsonl service_session.trace
    run import service_session.trace station_grown.jsonl
    run import cut_and_old_format.jsonl
    run show HH0042
    run show NOSUCH
    printf 'not a results file\n' >other.txt
    run import other.txt
    run yield --by job
    echo "\$ (the database taken back to schema version 2)"
    sql "DROP TABLE instruments; CREATE INDEX runs_by_period ON runs (kind, started, serial);
         DELETE FROM history_schema WHERE version = 3"
    run yield --by job
    echo "\$ (the schema's version raised to 9)"
    sql "INSERT INTO history_schema (version, applied) VALUES (9, 'later')"
    run yield
    echo "\$ (other databases)"
    run_on nonsense:x yield
    run_on "postgresql://[bad" yield
    run_on "postgresql:///h?host=/nonexistent-quillon&port=5499" yield
    run_on sqlite:transcript.txt/h.sqlite yield
    # A live server refusing the password (none given, a wrong one): the
    # message names the server's socket, here a folder of this build's.
    for password in "" "&password=wrong"; do
        p=${password#&}; echo "\$ (the user guarded, ${p:-no password})"
        run_on "postgresql:///postgres?host=$pgdir&port=5499&user=guarded$password" yield
    done | sed "s|$pgdir|PG_SOCKET_DIR|"
    ;;
watch)
    # A station's results folder followed by one watcher while the station
    # appends (a line at a time, one cut in two writes), rotates its file,
    # and writes on while the database is away. The database goes away as a
    # stopped server, or as an SQLite file another program holds locked.
    if [ "$engine" = postgresql ]; then
        own=$(mktemp -d /tmp/quillon-history-watch.XXXXXX)
        server() { (cd / && "$here/postgres_server.sh" "$1" "$own"); }  # run where its user may be
        server start || exit 1
        psql "host=$own port=5499 user=quillon dbname=postgres" -qc "CREATE DATABASE watched" || exit 1
        url="postgresql:///watched?host=$own&port=5499&user=quillon"
        away() { server pause; }
        back() { server resume; }
    else
        away() {
            mkfifo lock
            sqlite3 "$work/history.sqlite" <lock >/dev/null &
            locker=$!
            exec 7>lock
            echo "BEGIN IMMEDIATE;" >&7
            until ! sqlite3 -cmd ".timeout 0" "$work/history.sqlite" "BEGIN IMMEDIATE; ROLLBACK;" 2>/dev/null; do
                sleep 0.1
            done
        }
        back() { echo "COMMIT;" >&7; exec 7>&-; wait "$locker"; }
    fi
    mkdir share
    sed -n 1p station_bench2.jsonl >share/bench-2.jsonl
    "$program" --database "$url" watch --interval 1 share >watch.out 2>watch.err &
    watcher=$!
    wait_for watch.out "share/bench-2.jsonl: 1 added" 1
    { sed -n 2p station_bench2.jsonl; sed -n 3p station_bench2.jsonl | head -c 100; } >part
    cat part >>share/bench-2.jsonl
    wait_for watch.out "share/bench-2.jsonl: 1 added" 2
    sed -n 3p station_bench2.jsonl | tail -c +101 >>share/bench-2.jsonl
    wait_for watch.out "share/bench-2.jsonl: 1 added" 3
    mv share/bench-2.jsonl share/bench-2.jsonl.1
    cp station_later.jsonl share/next && mv share/next share/bench-2.jsonl
    wait_for watch.out "share/bench-2.jsonl: 2 added"
    away
    sed -n 2p station_later.jsonl | sed 's/2a05"/2a06"/' >>share/bench-2.jsonl
    wait_for watch.err "the database is away"
    back
    wait_for watch.err "the database is back"
    wait_for watch.out "share/bench-2.jsonl: 1 added" 4
    kill -TERM "$watcher"
    wait "$watcher"
    echo "\$ quillon-history watch --interval 1 share (stopped by SIGTERM: exit $?)"
    watcher=""
    cat watch.out
    echo "== standard error (the database's own words left out):"
    sed -E 's|^(quillon-history: share/bench-2.jsonl: ).*|\1(...)|' watch.err
    run yield
    ;;
esac >transcript.txt 2>&1
if ! cmp -s transcript.txt "$golden"; then
    mkdir -p "$out"
    cp transcript.txt "$out/$name.txt"
    diff -u "$golden" transcript.txt | head -40
    echo "history $name on $engine differs from $golden (new: $out/$name.txt)"
    exit 1
fi

#!/usr/bin/env bash
# A throw-away PostgreSQL server for the history's tests: initdb in a fresh
# folder, listening only on a socket in that folder, run as an unprivileged
# user when the tests run as root (the server refuses root).
# pause stops the server and keeps its data; resume starts it again.
# Usage: postgres_server.sh start|stop|pause|resume DIR
set -euo pipefail
action=$1 dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
options="-c listen_addresses= -k $dir -p 5499 -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
case $action in
start)
    if [ -f "$dir/data/postmaster.pid" ]; then as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true; fi
    rm -rf "$dir"
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U quillon --auth=trust --no-sync -E UTF8 --locale=C >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log"; exit 1; }
    # Every user but one is trusted: "guarded" must give its password.
    as_owner sed -i '1i local all guarded scram-sha-256' "$dir/data/pg_hba.conf"
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -o "$options" start >/dev/null ||
        { cat "$dir/server.log"; exit 1; }
    "$bin/psql" -h "$dir" -p 5499 -U quillon -d postgres -qc "CREATE ROLE guarded LOGIN PASSWORD 'right'" >/dev/null
    ;;
pause)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
resume)
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -o "$options" start >/dev/null ||
        { cat "$dir/server.log"; exit 1; }
    ;;
stop)
    [ -d "$dir/data" ] && as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    rm -rf "$dir"
    ;;
esac

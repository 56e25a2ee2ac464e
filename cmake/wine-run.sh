#!/bin/sh
# Runs a Windows program under wine without a display and without the
# first-run installers, in a prefix kept outside the source tree.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/quillon-wine-$(id -u)}"
export WINEPREFIX
export WINEDEBUG=-all
# No winemenubuilder: Start-menu entries that an installer makes stay in the
# prefix instead of landing in the host's desktop menus.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
# The first program of a wine session starts the wineserver and wine's own
# services, which keep that program's standard output and error open until
# the session ends: a caller waiting for its output (CTest) would wait for
# every other program of the session. So when no server runs yet, start one
# here, and the services with it, on streams of their own; it stays 10 s
# after its last program, so that the programs of one test run share it.
# Runners started side by side wait for each other here, so that none
# starts its program while the services are still starting (the server and
# the services must not inherit the lock).
(
    flock 9
    if wineserver -p10 </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"${WINEPREFIX%/}.lock"
exec wine "$@"

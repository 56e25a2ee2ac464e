#!/bin/sh
# Runs a Windows program under wine without a display and without the
# first-run installers, in a prefix kept outside the source tree.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/quillon-wine-$(id -u)}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
exec wine "$@"

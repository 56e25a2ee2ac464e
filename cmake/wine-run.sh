#!/bin/sh
# Runs a Windows program under wine without a display and without the
# first-run installers, in a prefix kept outside the source tree. Start-menu
# entries that an installer makes stay inside the prefix (no menu entries of
# the host's desktop).
: "${WINEPREFIX:=${TMPDIR:-/tmp}/quillon-wine-$(id -u)}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
exec wine "$@"

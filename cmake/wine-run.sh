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
exec wine "$@"

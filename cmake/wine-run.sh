#!/bin/sh
# Runs a Windows program under wine in the prefix of the build tree:
# WINEPREFIX is set by ctest (the tests' ENVIRONMENT); without it the prefix
# is ./wineprefix of the current directory.
: "${WINEPREFIX:=$PWD/wineprefix}"
: "${TRELK_WINE_LOADER:=/usr/lib/wine/wine64}"
export WINEPREFIX
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG="${WINEDEBUG:--all}"
exec "$TRELK_WINE_LOADER" "$@"

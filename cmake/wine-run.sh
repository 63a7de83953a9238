#!/bin/sh
# CTest's emulator for the Windows build: runs one .exe under Wine in the test prefix.
: "${WINEPREFIX:?WINEPREFIX must be set by the test}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if command -v wine64 >/dev/null 2>&1; then exec wine64 "$@"; fi
if [ -x /usr/lib/wine/wine64 ]; then exec /usr/lib/wine/wine64 "$@"; fi
exec wine "$@"

#!/bin/sh
# CTest's emulator for the Windows build: runs one .exe under Wine in the test prefix.
# The program's output goes through a file: CTest waits for every process that holds
# its output pipe, and a Wine daemon started during the test (a wineserver, a
# winedevice) would inherit the pipe and hold the test up until its time-out.
: "${WINEPREFIX:?WINEPREFIX must be set by the test}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if command -v wine64 >/dev/null 2>&1; then wine=wine64
elif [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64
else wine=wine
fi
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
"$wine" "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc

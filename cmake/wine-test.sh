#!/bin/sh
# CTest's emulator for the Windows test programs: wine-run.sh with the program's output
# going through a file, printed when it ends. CTest waits for every process that holds
# its output pipe, and a Wine daemon started during a test (a wineserver, a winedevice)
# would inherit the pipe and hold the test up until its time-out.
out=$(mktemp "${TMPDIR:-/tmp}/wine-test.XXXXXX") || exit 1
sh "$(dirname "$0")/wine-run.sh" "$@" >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc

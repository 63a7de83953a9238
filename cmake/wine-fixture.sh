#!/bin/sh
# start: create the test prefix (once) and keep one wineserver alive for the whole run;
# stop: end it. Without -p every test would pay for a server start.
set -e
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server=wineserver
command -v wineserver >/dev/null 2>&1 || server=/usr/lib/wine/wineserver
case "$1" in
  start)
    mkdir -p "$WINEPREFIX"
    # CTest waits for every process holding its output pipes: detach the daemons.
    "$server" -p </dev/null >/dev/null 2>&1
    "$(dirname "$0")/wine-run.sh" wineboot -i </dev/null >/dev/null 2>&1 || true
    test -d "$WINEPREFIX/drive_c/windows/system32"
    ;;
  stop)
    "$server" -k 2>/dev/null || true
    ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac

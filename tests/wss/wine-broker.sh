#!/bin/sh
# wine-broker.sh RUNNER TRUSTCA TESTS [ARGS...]: runs a Windows test program (with ARGS)
# under Wine inside a private network namespace with only loopback, where broker.sh runs
# the test broker. The test CA goes into the Wine prefix's CurrentUser Root store for
# the run and is taken out again afterwards. The wineserver is reached through a Unix
# socket in the file system, which the namespace does not hide.
set -e
if [ "$1" != inner ]; then exec unshare -n sh "$0" inner "$@"; fi
shift
runner=$1 trustca=$2 tests=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
# Wine's sockets are made by the wineserver, so it must run in this namespace too: a
# prefix of its own (made once, then reused) with a server started here; entries run
# side by side each name theirs in VELKARN_NETNS_PREFIX.
export WINEPREFIX="${VELKARN_NETNS_PREFIX:-${WINEPREFIX:?WINEPREFIX must be set}-netns}"
server=wineserver
command -v wineserver >/dev/null 2>&1 || server=/usr/lib/wine/wineserver
mkdir -p "$WINEPREFIX"
"$server" -p </dev/null >/dev/null 2>&1
if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  "$runner" wineboot -i </dev/null >/dev/null 2>&1 || true
fi
dir=$(mktemp -d)
sh "$here/broker.sh" "$dir" &
broker=$!
trusted=no
cleanup() {
  # The tests may have restarted (or frozen) the broker: mosquitto.pid names the last one.
  if [ -f "$dir/mosquitto.pid" ]; then
    kill -CONT "$(cat "$dir/mosquitto.pid")" 2>/dev/null || true
    kill "$(cat "$dir/mosquitto.pid")" 2>/dev/null || true
  fi
  kill "$broker" 2>/dev/null || true
  wait "$broker" 2>/dev/null || true
  if [ "$trusted" = yes ]; then "$runner" "$trustca" remove < "$dir/ca.pem" || true; fi
  rm -rf "$dir"
  "$server" -k 2>/dev/null || true
}
trap cleanup EXIT
tries=0
until [ -f "$dir/certs-ready" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 300 ] || ! kill -0 "$broker" 2>/dev/null; then echo "broker.sh did not get ready" >&2; exit 1; fi
  sleep 0.1
done
"$runner" "$trustca" add < "$dir/ca.pem"
trusted=yes
# Where the tests find the broker to stop, restart, freeze and thaw it.
export VELKARN_WSS_BROKER_DIR="$dir" VELKARN_WSS_BROKER_SCRIPT="$here/broker.sh"
set +e
"$runner" "$tests" "$@"
status=$?
set -e
exit $status

#!/bin/sh
# wine-broker.sh RUNNER TRUSTCA TESTS: runs the Windows broker tests under Wine inside a
# private network namespace with only loopback, where broker.sh runs the test broker.
# The test CA goes into the Wine prefix's CurrentUser Root store for the run and is
# taken out again afterwards. The wineserver is reached through a Unix socket in the
# file system, which the namespace does not hide.
set -e
if [ "$1" != inner ]; then exec unshare -n sh "$0" inner "$@"; fi
shift
runner=$1 trustca=$2 tests=$3
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
dir=$(mktemp -d)
sh "$here/broker.sh" "$dir" &
broker=$!
trusted=no
cleanup() {
  kill "$broker" 2>/dev/null || true
  wait "$broker" 2>/dev/null || true
  if [ "$trusted" = yes ]; then "$runner" "$trustca" remove < "$dir/ca.pem" || true; fi
  rm -rf "$dir"
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
set +e
"$runner" "$tests"
status=$?
set -e
exit $status

#!/usr/bin/env bash
# The tray under a real window system: Xvfb for the display, Wine's desktop with its
# taskbar inside it, the test host as the tray's owner and the driver as the user and the
# shell. Screenshots of the display show the icon's own colour in the tray area.
#
#   tray-wine-test.sh <folder with tray_test_host.exe and tray_test_driver.exe> <prefix>
#
# Its own Wine prefix, not the one the other Wine tests share: every process of that
# prefix must run in the virtual desktop (set in the prefix's registry) and take our
# display, while the shared prefix's persistent server and desktop run without a display.
# Everything this script starts (Xvfb, the prefix's wineserver with the desktop and every
# program in it) is stopped on every way out.
set -u
bin=$(realpath "$1")
export WINEPREFIX=$(realpath -m "$2")  # Wine takes only an absolute prefix
here=$(cd "$(dirname "$0")" && pwd)
host=$bin/tray_test_host.exe
driver=$bin/tray_test_driver.exe
. "$here/tray-wine-lib.sh"

start_host() {  # output file, host arguments...
  local out=$1; shift
  ( wine_cmd "$host" "$@" >"$out" 2>&1; echo "exit code $?" >>"$out" ) &
}

# --- no display at all: the window cannot be created, the owner is told why and runs on
prepare_prefix || { echo "FAIL - Wine prefix could not be prepared"; exit 1; }
env -u DISPLAY timeout 20 "$server" -k 2>/dev/null
out=$work/nodisplay.txt
env -u DISPLAY timeout 60 "$wine_run" "$host" --run-s 2 >"$out" 2>&1
echo "exit code $?" >>"$out"
check "no display: creation fails with an error code" grep -qE "^Tray icon could not be created \(error [1-9][0-9]*\)" "$out"
check "no display: the owner runs to its end and exits 0" said "$out" "exit code 0"
check "no display: the status was never asked" said "$out" "status calls 0"
env -u DISPLAY timeout 20 "$server" -k 2>/dev/null

start_display || { fail "Xvfb or Wine's desktop did not start"; finish; }
check "before any tray: the icon's colour is nowhere in the tray area" icon_gone

# --- the main road: icon, tooltip refresh, console toggle, menu, re-adding, Exit
out=$work/main.txt
start_host "$out" --run-s 90 --console --url https://console.example.net/
check "host: tray window created" wait_for 300 said "$out" "tray window 0x"
title=$(drive find)
check "driver finds the window by its class, with the title" grep -qF "title: KIVU Velkarn 42 - Test Host" <<<"$title"
check "the tray window is never shown" grep -qF "visible: 0" <<<"$title"
check "the icon's pixels are in the tray area" wait_for 100 icon_shown
check "the tooltip is refreshed every 2 s (status asked again)" wait_for 100 said "$out" "status call 3"

console=$(sed -n 's/^console window \(0x[0-9a-f]*\).*/\1/p' "$out" | head -n1)
console_is() { [ "$(drive visible "$console")" = "$1" ]; }
check "host has a console window" test -n "$console" -a "$console" != "0x0"
check "the console starts visible" console_is visible
drive command 2 >/dev/null
check "command 2 hides the console" wait_for 50 console_is hidden
drive command 2 >/dev/null
check "command 2 again shows it" wait_for 50 console_is visible

for notification in 123 514 517; do
  check "notification $notification opens the menu" grep -qx "menu" <<<"$(drive notify $notification)"
done
for notification in 512 513 515 516 518; do
  check "notification $notification leaves the menu closed" \
    grep -qx "no menu" <<<"$(drive notify $notification)"
done
drive command 0 >/dev/null
drive command 77 >/dev/null

drive drop-icon >/dev/null
check "an icon lost by the shell is gone from the screen" wait_for 100 icon_gone
drive taskbar-created >/dev/null
check "\"TaskbarCreated\" brings the icon back" wait_for 100 icon_shown
check "the tray still runs after commands 0 and 77 and all the rest" tray_running
check "nothing so far called the exit procedure" test "$(grep -c 'exit procedure called' "$out")" -eq 0

drive command 1 >/dev/null
check "Exit calls the exit procedure" wait_for 100 said "$out" "exit procedure called"
check "the host frees the tray in time and exits 0" wait_for 150 said "$out" "exit code 0"
check "the tray thread ended within the close wait" said "$out" "tray closed in time"
check "the icon is gone after the end" wait_for 100 icon_gone
check "the tray window is gone after the end" test "$(drive find)" = "no tray window"

# --- WM_CLOSE from outside: the tray ends and deletes its icon while its owner runs on
out=$work/close.txt
start_host "$out" --run-s 20
check "host 2: tray window created" wait_for 300 said "$out" "tray window 0x"
check "host 2: icon shown" wait_for 100 icon_shown
drive close >/dev/null
check "WM_CLOSE ends the tray thread" wait_for 100 said "$out" "tray ended on its own"
check "WM_CLOSE deletes the icon while the owner still runs" icon_gone
check "the owner is still running then" test "$(grep -c '^exit code' "$out")" -eq 0
check "host 2 frees the ended tray and exits 0" wait_for 300 said "$out" "exit code 0"

# --- a failing status callback is reported and costs the tray nothing
out=$work/throws.txt
start_host "$out" --run-s 30 --status-throws
check "throwing status: tray window created" wait_for 300 said "$out" "tray window 0x"
check "throwing status: the failure is reported" wait_for 100 said "$out" "Tray: Exception: statistics unreadable"
check "throwing status: icon shown" wait_for 100 icon_shown
check "throwing status: the menu still opens" grep -qx "menu" <<<"$(drive notify 517)"
check "throwing status: the tooltip timer keeps running" wait_for 100 said "$out" "status call 3"
drive command 1 >/dev/null
check "throwing status: Exit still ends the host cleanly" wait_for 150 said "$out" "exit code 0"

# --- a tray freed right after it was started never hangs its owner
out=$work/early.txt
wine_cmd "$host" --early-close 20 >"$out" 2>&1
check "20 trays freed at once all end in time" said "$out" "early close: 20 of 20 ended in time"

# --- a status callback that never returns cannot hang the owner's shutdown
out=$work/stuck.txt
wine_cmd "$host" --stuck >"$out" 2>&1
echo "exit code $?" >>"$out"
check "stuck status: not ready in time, error 0" said "$out" "stuck: ready wnd 0 error 0"
check "stuck status: Close gives up after its wait" said "$out" "stuck: close gave up waiting"
check "stuck status: the owner exits 0" said "$out" "exit code 0"
check "stuck status: no icon left behind" wait_for 100 icon_gone

finish

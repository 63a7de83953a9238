#!/usr/bin/env bash
# The real Velkarn.exe with its tray under a real window system (Xvfb and Wine's desktop,
# as in tray-wine-test.sh): when it makes a tray, Exit from the tray, the console
# command, --tray hiding the console, the icon on screen only while the program runs, a
# start without any display, and the message box of a second copy.
#
#   velkarn-tray-wine-test.sh <folder with tray_test_driver.exe> <Velkarn.exe> <prefix>
set -u
driver=$(realpath "$1")/tray_test_driver.exe
velkarn=$(realpath "$2")
export WINEPREFIX=$(realpath -m "$3")  # Wine takes only an absolute prefix
here=$(cd "$(dirname "$0")" && pwd)
. "$here/tray-wine-lib.sh"

# The program in a folder of its own, with an INI of its own: udp mode on free ports, so
# that these runs collide with nothing else on the machine.
app=$work/app
mkdir -p "$app/Data"
exe=$app/Velkarn.exe
cp "$velkarn" "$exe"
# A free UDP port for the hits and a free TCP one for the wave server, held by a process
# of their own until this script ends: a port picked and let go could be handed to a test
# running beside this one between the program's runs. Held means bound, not listening;
# the program's wave server still listens on its port.
timeout 450 python3 -c 'import os, socket, sys, time
script = int(sys.argv[1])
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
for s in (udp, tcp):
    s.bind(("127.0.0.1", 0))
print(udp.getsockname()[1], tcp.getsockname()[1], flush=True)
while os.path.exists(f"/proc/{script}"):
    time.sleep(0.5)' "$$" >"$work/ports" &
wait_for 100 test -s "$work/ports" || { fail "no free ports"; finish; }
read -r udp_port wave_port <"$work/ports"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
printf '[Agent]\r\nAgentId=42\r\nChannels=2\r\nHitsPerSecPerChannel=5\r\nSamplesPerHit=512\r\nDataRoot=%s\r\n[Network]\r\nUdpHost=127.0.0.1\r\nUdpPort=%s\r\nWaveServerPort=%s\r\n[Company]\r\nName=Test Works\r\n' \
  "$(winpath "$app/Data")" "$udp_port" "$wave_port" >"$app/Velkarn.ini"
title="KIVU Velkarn 42 - Test Works"
caption="KIVU Velkarn"
report='^Classifier vs\. simulator truth \(rows = true class\):$'
tray_error='^Tray icon could not be created \(error [1-9][0-9]*\)'

# Plain start from the shell: no console window of its own. Exit code into the output.
start_plain() {  # output file, arguments...
  local out=$1; shift
  ( timeout 150 "$wine_run" "$exe" "$@" >"$out" 2>&1; echo "exit code $?" >>"$out" ) &
}
# The same with Wine's own errors kept apart (in <output>.wine.txt, shown on failure), for
# a run whose output must hold the program's lines and nothing else.
start_plain_telling_wine() {  # output file, arguments...
  local out=$1; shift
  ( WINEDEBUG=err+all timeout 150 "$wine_run" "$exe" "$@" >"$out" 2>"$out.wine.txt"
    echo "exit code $?" >>"$out" ) &
}
# Start by the driver with a console window of its own, titled so the driver finds it;
# the driver's "exit code N" goes to <output>.rc.
start_with_console() {  # output file, console title, arguments...
  local out=$1 console=$2; shift 2
  ( timeout 150 "$wine_run" "$driver" run "$(winpath "$out")" "$console" 120 "$(winpath "$exe")" "$@" |
      tr -d '\r' >"$out.rc" ) &
}
console_is() { [ "$(drive titled "$1")" = "$2" ]; }  # console title, visible|hidden|no window
tray_window_is() { [ "$(drive titled "$title")" = "$1" ]; }
# The lines of a file, in this order (each an extended regex), with anything between.
in_order() {  # file, regex...
  local file=$1; shift
  [ -f "$file" ] || return 1
  tr -d '\r' <"$file" | awk -v n=$# 'BEGIN { for (i = 1; i < ARGC; ++i) re[i] = ARGV[i]; ARGC = 1; k = 1 }
    k <= n && $0 ~ re[k] { ++k } END { exit k <= n }' "$@"
}

prepare_prefix || { echo "FAIL - Wine prefix could not be prepared"; exit 1; }

# --- no display at all: the tray is tried (no console window), fails, and the run goes on
env -u DISPLAY timeout 20 "$server" -k 2>/dev/null
out=$work/nodisplay.txt
env -u DISPLAY timeout 90 "$wine_run" "$exe" 6 >"$out" 2>&1
echo "exit code $?" >>"$out"
check "no display: the tray is tried and reported as not created" \
  in_order "$out" '^Tray: user session True, console visible False, --tray False$' "$tray_error"
check "no display: the program runs on to a status line, then its normal end" \
  in_order "$out" "$tray_error" '  hits [0-9]+ \(' '^Stopping\.\.\.$' "$report" '^exit code 0$'
env -u DISPLAY timeout 20 "$server" -k 2>/dev/null

start_display || { fail "Xvfb or Wine's desktop did not start"; finish; }
check "before any run: the icon's colour is nowhere in the tray area" icon_gone

# --- a visible console and no --tray: no tray at all
out=$work/console.txt
start_with_console "$out" velkarn-console-1 8
check "console run: up, with its console window counted as visible" \
  wait_for 300 in_order "$out" '^Tray: user session True, console visible True, --tray False$'
check "console run: its console window is shown" console_is velkarn-console-1 visible
check "console run: no tray window" tray_window_is "no window"
check "console run: no icon" icon_gone
check "console run: ends by its run time with exit code 0" wait_for 300 said "$out.rc" "exit code 0"
check "console run: no tray line" test "$(grep -c "Tray icon" "$out")" -eq 0

# --- --tray: the console is hidden, the tray shows, toggles the console and stops the run
out=$work/tray.txt
start_with_console "$out" velkarn-console-2 --tray
check "--tray run: up" wait_for 300 in_order "$out" '^Tray: user session True, console visible True, --tray True$'
check "--tray run: the console window is hidden" wait_for 50 console_is velkarn-console-2 hidden
check "--tray run: the driver finds the tray window with the title" \
  grep -qF "title: $title" <<<"$(drive find)"
check "--tray run: the icon's pixels are in the tray area" wait_for 100 icon_shown
check "--tray run: the window was created (no failure line)" test "$(grep -c "Tray icon" "$out")" -eq 0
drive command 2 >/dev/null
check "command 2 shows the console" wait_for 50 console_is velkarn-console-2 visible
drive command 2 >/dev/null
check "command 2 again hides it" wait_for 50 console_is velkarn-console-2 hidden

# --- a second copy while the first runs: its line, the message box, exit code 2
second=$work/second.txt
start_plain_telling_wine "$second" 5
box=$(drive msgbox "$caption")
check "second copy: the message box has the text" grep -qxF \
  'text: KIVU Velkarn is already running on this computer.\r\n\r\nIts Vennrick icon is in the system tray (notification area, next to the clock).' \
  <<<"$box"
check "second copy: one button, OK, and the information icon" \
  test "$(grep -E '^(buttons|ok button|icon): ' <<<"$box" | tr '\n' ' ')" = "buttons: 1 ok button: 1 icon: 1 "
check "second copy: the box is brought to the front" grep -qx "foreground: 1" <<<"$box"
check "second copy: ends with exit code 2 once OK is pressed" wait_for 150 said "$second" "exit code 2"
check "second copy: its line and nothing else" test "$(tr -d '\r' <"$second")" = \
  "$(printf '%s\n%s' "KIVU Velkarn is already running on this computer; this copy exits." "exit code 2")"
check "second copy: the first runs on with its tray" tray_window_is hidden

drive command 1 >/dev/null
check "Exit from the tray: the program ends with exit code 0" wait_for 150 said "$out.rc" "exit code 0"
check "Exit from the tray: normal shutdown with the classifier report" \
  in_order "$out" '^Tray: ' '^Stopping\.\.\.$' "$report" '^   unknown '
check "Exit from the tray: the icon is gone" wait_for 100 icon_gone
check "Exit from the tray: the tray window is gone" tray_window_is "no window"

# --- no console window: the tray comes without --tray and goes with the run time's end
out=$work/plain.txt
start_plain "$out" 6
check "plain run: up without a visible console" \
  wait_for 300 in_order "$out" '^Tray: user session True, console visible False, --tray False$'
check "plain run: the icon's pixels are in the tray area" wait_for 100 icon_shown
check "plain run: ends by its run time with exit code 0" \
  wait_for 300 in_order "$out" '^Stopping\.\.\.$' "$report" '^exit code 0$'
check "plain run: the icon is gone after the end" wait_for 100 icon_gone

finish

# Shared by the tray's Wine desktop scripts: sourced after WINEPREFIX, $here (the
# script's folder) and $driver (tray_test_driver.exe) are set. Gives the checks, the
# driver, the screenshots of the tray area, the prefix with its virtual desktop, the
# display, and a trap that stops everything started here (Xvfb, the prefix's wineserver
# with the desktop and every program in it) on every way out.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY  # until our own display runs
wine_run=$here/../../cmake/wine-run.sh
server=wineserver
command -v wineserver >/dev/null 2>&1 || server=/usr/lib/wine/wineserver
work=$(mktemp -d)
xvfb_pid=""
failures=0

# The icon's fill colour (scripts/make-tray-icon.py) and the bottom strip of the 800x600
# desktop where the taskbar keeps the tray.
icon_colour="#D82C8E"
tray_strip="800x40+0+560"

cleanup() {
  env -u DISPLAY timeout 20 "$server" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

pass() { echo "ok - $1"; }
fail() { echo "FAIL - $1"; failures=$((failures + 1)); }
check() {  # description, command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

wine_cmd() { timeout 60 "$wine_run" "$@"; }
# The driver's answer without the CR that Windows text output puts before each LF.
drive() { wine_cmd "$driver" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# Polls until a command succeeds or the limit (in tenths of a second) runs out: the
# other side is another process (or the X server), with nothing to wait on but its output.
wait_for() {  # tenths, command...
  local left=$1; shift
  until "$@"; do
    left=$((left - 1))
    [ "$left" -le 0 ] && return 1
    sleep 0.1
  done
}

icon_pixels() {
  xwd -root -silent | /usr/bin/convert xwd:- -crop "$tray_strip" txt:- | grep -ci "$icon_colour"
}
icon_shown() { [ "$(icon_pixels)" -ge 50 ]; }
icon_gone() { [ "$(icon_pixels)" -eq 0 ]; }
tray_running() { drive find >/dev/null; }
said() { grep -qF -- "$2" "$1"; }  # file, text

prepare_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    env -u DISPLAY timeout 180 "$wine_run" wineboot -i </dev/null >/dev/null 2>&1
  fi
  wine_cmd reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d velkarn /f >/dev/null 2>&1 &&
    wine_cmd reg add 'HKCU\Software\Wine\Explorer\Desktops' /v velkarn /d 800x600 /f >/dev/null 2>&1 &&
    wine_cmd reg add 'HKCU\Software\Wine\Explorer\Desktops\velkarn' /v EnableShell \
      /t REG_DWORD /d 1 /f >/dev/null 2>&1
}

# Says which part did not come, and keeps Xvfb's and the desktop's own output (with
# Wine's errors) for finish to show.
start_display() {
  local fd_file=$work/display
  # Bounded lives, in case this script is killed before its trap can run.
  timeout 450 Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fd_file" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  wait_for 100 test -s "$fd_file" || { echo "Xvfb named no display within 10 s"; return 1; }
  export DISPLAY=":$(cat "$fd_file")"
  # Wine's desktop reads the display when its server starts: begin with a fresh one.
  env -u DISPLAY timeout 20 "$server" -k 2>/dev/null
  ( WINEDEBUG=err+all timeout 450 "$wine_run" explorer /desktop=velkarn,800x600 </dev/null >"$work/desktop.log" 2>&1 & )
  local started=$SECONDS
  wait_for 300 sh -c 'xwininfo -root -tree 2>/dev/null | grep -q "velkarn - Wine desktop"' ||
    { echo "Wine's desktop window not on the display after $((SECONDS - started)) s"; return 1; }
  echo "# Wine's desktop up after $((SECONDS - started)) s"
}

# Ends the script: its exit code, and every output file of the work folder on failure.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; host output:"
    for f in "$work"/*.txt "$work"/*.log "$work"/*/*.log; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
    exit 1
  fi
  echo "all tray checks passed"
}

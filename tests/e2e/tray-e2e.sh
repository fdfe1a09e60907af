#!/usr/bin/env bash
# The tray application as a user sees it, on a virtual X display (Xvfb): with a tray host
# (trayer) the mark appears in the tray, a click opens the panel under it and a second click
# closes it, the attention badge appears once the printer's status has a failure, and a second
# start of the program opens the running one's panel; on a display without a tray the panel
# opens in a window. Screenshots of each step are left in SHOT_DIR when it is given.
#
# usage: tray-e2e.sh PROGRAM [SHOT_DIR]
set -euo pipefail

program=$1
shots=${2:-}

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in tray-app window-app; do
    [ -f "$work/$log.log" ] && { echo "--- $log log" >&2; tail -n 40 "$work/$log.log" >&2; }
  done
  exit 1
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$TMPDIR" "$XDG_CONFIG_HOME/Kelm"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
# No bluetoothd on this bus: the remembered printer cannot be asked, so its status fails.
printf '[General]\nprinterAddress=00:11:22:33:44:55\nprinterAutoChosen=false\n' \
  >"$XDG_CONFIG_HOME/Kelm/kelm-vodod-idizor.conf"
export KELM_VODOD_IDIZOR_TIME_SCALE=0.1

# A private session bus, also standing for the system bus.
dbus-daemon --session --nofork --print-address=1 --address="unix:dir=$work" \
  >"$work/bus.address" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/bus.address" ] && break; sleep 0.05; done
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus.address")
DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
export DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS

# Starts a virtual display from this shell (so that the clean-up knows it) and makes it DISPLAY.
startDisplay() {
  local fd=$work/display.$1
  Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$fd" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do [ -s "$fd" ] && break; sleep 0.05; done
  [ -s "$fd" ] || fail "Xvfb did not start"
  DISPLAY=":$(head -n1 "$fd")"
  export DISPLAY
}

shot() {
  [ -n "$shots" ] || return 0
  mkdir -p "$shots"
  import -display "$DISPLAY" -window root "$shots/$1.png"
}

# Visible windows of the program.
windows() { xdotool search --onlyvisible --class kelm-vodod-idizor 2>/dev/null || true; }
waitFor() {
  local what=$1 test=$2
  for _ in $(seq 1 100); do eval "$test" && return 0; sleep 0.1; done
  fail "$what"
}

# With a tray host.
startDisplay tray
trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
  --transparent false --tint 0x303030 >/dev/null 2>&1 &
pids+=($!)
sleep 0.5
"$program" >"$work/tray-app.log" 2>&1 &
app=$!
pids+=($app)

waitFor "the mark did not appear in the tray" '[ "$(windows | wc -l)" -ge 1 ]'
icon=$(windows | head -n1)
eval "$(xdotool getwindowgeometry --shell "$icon")"
iconX=$((X + WIDTH / 2))
iconY=$((Y + HEIGHT / 2))
sleep 0.6
import -window "$icon" "$work/mark-before.png"
shot 1-tray

xdotool mousemove "$iconX" "$iconY" click 1
waitFor "a click on the mark did not open the panel" '[ "$(windows | wc -l)" -ge 2 ]'
shot 2-panel-open
# Opening the panel asked the remembered printer for its status, which failed: the badge shows.
sleep 1
import -window "$icon" "$work/mark-after.png"
differing=$(compare -metric AE "$work/mark-before.png" "$work/mark-after.png" null: 2>&1 || true)
[ "${differing%% *}" != 0 ] || fail "the mark did not get its badge after a failed status"

xdotool mousemove "$iconX" "$iconY" click 1
waitFor "a second click did not close the panel" '[ "$(windows | wc -l)" -eq 1 ]'
shot 3-panel-closed

# A second start opens the running one's panel and ends at once.
"$program" >"$work/second.log" 2>&1 || fail "a second start failed: $(cat "$work/second.log")"
waitFor "a second start did not open the panel" '[ "$(windows | wc -l)" -ge 2 ]'
shot 4-second-start
kill -0 "$app" || fail "the first program ended"
kill "$app"
wait "$app" 2>/dev/null || true

# Without a tray host the panel opens in a window.
startDisplay window
"$program" >"$work/window-app.log" 2>&1 &
pids+=($!)
waitFor "without a tray no window opened" \
  '[ -n "$(xdotool search --onlyvisible --name "Kelm™ Vodod Idizor" 2>/dev/null)" ]'
sleep 0.5
shot 5-no-tray-window
echo "ok"

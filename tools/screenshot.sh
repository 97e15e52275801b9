#!/usr/bin/env bash
# Takes the README's screenshots under Xvfb and a small window manager, all
# driven from the keyboard: the desktop program on a simulated type 290 UPS
# after Connect and Runtime, once at the normal font (96 dpi) and once at a
# large one (QT_FONT_DPI=160); a connect that fails (a simulator that never
# answers); and the Port dialog after Apply on a port another program holds.
# Prints each window's size.
# Needs: xvfb, xdotool, imagemagick, openbox (any window manager will do).
# Usage: tools/screenshot.sh BUILD_DIR [OUT.png [LARGE_FONT_OUT.png [FAILED_CONNECT.png [HELD_PORT.png]]]]
set -euo pipefail
build=${1:-build}
out=${2:-docs/main-window.png}
large=${3:-${out%.png}-large-font.png}
failed=${4:-$(dirname "$out")/failed-connect.png}
held=${5:-$(dirname "$out")/port-dialog-held-port.png}
# Lock files of the held port go to a folder of our own, removed at the end.
locks=$(mktemp -d)
export KBX_LOCK_DIR=$locks
export DISPLAY=:77
Xvfb $DISPLAY -screen 0 1280x1024x24 -dpi 96 >/dev/null 2>&1 &
xvfb=$!
pids=()
trap 'kill "${pids[@]}" $xvfb 2>/dev/null || true; rm -rf "$locks"' EXIT
sleep 1
if command -v openbox >/dev/null; then
  openbox >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
fi

shoot() {
  local dpi=$1 file=$2 win
  QT_FONT_DPI=$dpi "$build/src/app/kbx-configurator" --simulate 290 &
  local app=$!
  pids+=($app)
  for _ in $(seq 50); do
    win=$(xdotool search --name '^KBX Configurator$' 2>/dev/null | head -n1) && [ -n "$win" ] && break
    sleep 0.2
  done
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  # The focus starts on Port: Tab to Connect and press Enter, then Tab to Runtime.
  xdotool key --window "$win" Tab Return
  sleep 7
  xdotool key --window "$win" Tab Return
  sleep 3
  import -frame -window "$win" "$file" 2>/dev/null || import -window "$win" "$file"
  echo "wrote $file: QT_FONT_DPI=$dpi, window $(xdotool getwindowgeometry "$win" | sed -n 's/.*Geometry: //p')"
  kill $app
  wait $app 2>/dev/null || true
}

shoot 96 "$out"
shoot 160 "$large"

# A simulator on its own pseudo-terminal, started with the given options; sets
# $device to its serial device.
simulator() {
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  "$build/src/sim/kbx-ups-sim" "$@" >"$fifo" &
  pids+=($!)
  read -r device <"$fifo"
  rm -f "$fifo"
}

# The main window of a program just started; sets $win.
main_window() {
  for _ in $(seq 50); do
    win=$(xdotool search --name '^KBX Configurator$' 2>/dev/null | head -n1) && [ -n "$win" ] && break
    sleep 0.2
  done
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
}

# A connect that nothing answers: the board ends with NO UPS Found and an amber Done.
simulator --silent
"$build/src/app/kbx-configurator" --com 1="$device" &
app=$!
pids+=($app)
main_window
xdotool key --window "$win" Tab Return
sleep 20
import -frame -window "$win" "$failed" 2>/dev/null || import -window "$win" "$failed"
echo "wrote $failed: window $(xdotool getwindowgeometry "$win" | sed -n 's/.*Geometry: //p')"
kill $app
wait $app 2>/dev/null || true

# A port another program holds (flock(1) here): the start-up box says so; OK,
# then Port, Alt+A applies COM1 again and the dialog tells who holds it.
simulator
flock --exclusive "$device" sleep 600 &
pids+=($!)
sleep 0.5
"$build/src/app/kbx-configurator" --com 1="$device" &
app=$!
pids+=($app)
sleep 2
xdotool key Return
main_window
xdotool key --window "$win" Return
sleep 1
dialog=$(xdotool search --name '^Settings$' | head -n1)
xdotool key --window "$dialog" alt+a
sleep 1
import -frame -window "$dialog" "$held" 2>/dev/null || import -window "$dialog" "$held"
echo "wrote $held: window $(xdotool getwindowgeometry "$dialog" | sed -n 's/.*Geometry: //p')"
kill $app
wait $app 2>/dev/null || true

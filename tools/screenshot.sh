#!/usr/bin/env bash
# Takes the README's screenshots: the desktop program on a simulated type 290
# UPS under Xvfb and a small window manager, after Connect and Runtime pressed
# from the keyboard; once at the normal font (96 dpi) and once at a large one
# (QT_FONT_DPI=160). Prints each window's size.
# Needs: xvfb, xdotool, imagemagick, openbox (any window manager will do).
# Usage: tools/screenshot.sh BUILD_DIR [OUT.png [LARGE_FONT_OUT.png]]
set -euo pipefail
build=${1:-build}
out=${2:-docs/main-window.png}
large=${3:-${out%.png}-large-font.png}
export DISPLAY=:77
Xvfb $DISPLAY -screen 0 1280x1024x24 -dpi 96 >/dev/null 2>&1 &
xvfb=$!
pids=()
trap 'kill "${pids[@]}" $xvfb 2>/dev/null || true' EXIT
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

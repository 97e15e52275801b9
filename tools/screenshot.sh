#!/usr/bin/env bash
# Takes the README's screenshot: the desktop program on a simulated type 290
# UPS under Xvfb, after Connect and Runtime clicked from the keyboard.
# Needs: xvfb, xdotool, imagemagick.   Usage: tools/screenshot.sh BUILD_DIR OUT.png
set -euo pipefail
build=${1:-build}
out=${2:-docs/main-window.png}
export DISPLAY=:77
Xvfb $DISPLAY -screen 0 640x480x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $app $xvfb 2>/dev/null || true' EXIT
sleep 1
"$build/src/app/kbx-configurator" --simulate 290 &
app=$!
for _ in $(seq 50); do
  win=$(xdotool search --name '^KBX Configurator$' 2>/dev/null | head -n1) && [ -n "$win" ] && break
  sleep 0.2
done
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
# The focus starts on Port: Tab to Connect, then to Runtime.
xdotool key --window "$win" Tab space
sleep 7
xdotool key --window "$win" Tab space
sleep 3
import -window "$win" "$out"
echo "wrote $out"

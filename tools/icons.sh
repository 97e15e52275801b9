#!/usr/bin/env bash
# Renders the program's icon (data/kbx-configurator.svg, the desktop entry's)
# into the PNG sizes the windows use, so that the program needs no SVG support.
# Needs: librsvg2-bin.   Usage: tools/icons.sh
set -euo pipefail
cd "$(dirname "$0")/.."
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" data/kbx-configurator.svg -o "data/icons/kbx-configurator-$size.png"
done

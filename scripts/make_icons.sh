#!/usr/bin/env bash
# Renders the program icon res/icons/tarvel.svg at the hicolor theme's sizes
# into res/icons/hicolor/ (run when the drawing changes; the PNGs are kept in
# the repository, so building needs no SVG renderer). Needs librsvg2-bin.
#   bash scripts/make_icons.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
for size in 16 22 24 32 48 64 128 256; do
  dir=$top/res/icons/hicolor/${size}x${size}/apps
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" "$top/res/icons/tarvel.svg" -o "$dir/tarvel.png"
done

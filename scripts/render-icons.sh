#!/usr/bin/env bash
# Renders the hicolor PNG icons from app/icons/qd1600.svg. Run it after
# changing the SVG and commit the PNGs, so that the build needs no SVG
# renderer.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsvg-convert >/dev/null || {
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends librsvg2-bin >/dev/null
}
for size in 16 22 24 32 48 64 128 256; do
    out="app/icons/hicolor/${size}x${size}/apps/qd1600.png"
    mkdir -p "$(dirname "$out")"
    rsvg-convert --width "$size" --height "$size" --output "$out" app/icons/qd1600.svg
done
echo "icons in app/icons/hicolor"

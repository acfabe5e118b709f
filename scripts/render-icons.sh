#!/usr/bin/env bash
# Renders the hicolor PNG icons from app/icons/qd1600.svg, and from them the
# Windows icon app/icons/qd1600.ico. Run it after changing the SVG and commit
# the results, so that the build needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsvg-convert >/dev/null && command -v icotool >/dev/null || {
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends librsvg2-bin icoutils >/dev/null
}
for size in 16 22 24 32 48 64 128 256; do
    out="app/icons/hicolor/${size}x${size}/apps/qd1600.png"
    mkdir -p "$(dirname "$out")"
    rsvg-convert --width "$size" --height "$size" --output "$out" app/icons/qd1600.svg
done
# The sizes Windows asks for, the largest stored compressed as PNG.
icons=()
for size in 16 24 32 48 64 128; do
    icons+=("app/icons/hicolor/${size}x${size}/apps/qd1600.png")
done
icotool --create --output app/icons/qd1600.ico "${icons[@]}" \
    --raw app/icons/hicolor/256x256/apps/qd1600.png
echo "icons in app/icons/hicolor and app/icons/qd1600.ico"

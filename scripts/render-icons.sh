#!/bin/sh
# Renders app/icons/*.svg into the raw pixel icons the program embeds (32 px and @2x).
#   scripts/render-icons.sh [build-dir]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target tarvino-render-icons
QT_QPA_PLATFORM=offscreen "$build/app/tarvino-render-icons" "$root/app/icons" "$root/app/icons" \
    scan properties upgrade dropbear
ls -l "$root"/app/icons/*.rgba

#!/usr/bin/env bash
# Takes a picture of the about box as the program shows it, on a virtual X display at
# 96 pixels per inch, for review:
#   scripts/screenshot-about.sh [build-dir]     writes <build-dir>/screenshots/about.png
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target tarvino-about-screenshot
mkdir -p "$build/screenshots"
out="$build/screenshots/about.png"
xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24 -dpi 96" \
    env QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 "$build/app/about/tarvino-about-screenshot" "$out"
echo "$out"

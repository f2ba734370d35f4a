#!/usr/bin/env bash
# Takes a picture of the compare dialog with two sample configurations that differ in one line,
# on a virtual X display at 96 pixels per inch, for review (no device, no network):
#   scripts/screenshot-compare.sh [build-dir]     writes <build-dir>/screenshots/compare.png
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target tarvino-compare-screenshot
mkdir -p "$build/screenshots"
out="$build/screenshots/compare.png"
xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24 -dpi 96 -nolisten tcp" \
    env QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 "$build/tests/app/tarvino-compare-screenshot" "$out"
echo "$out"
